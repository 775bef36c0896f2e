#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds with, skipping those
# already present.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  libpng-dev libcli11-dev nlohmann-json3-dev
  libcpp-httplib-dev libturbojpeg0-dev chromium
  sdcc sdcc-ucsim
  mingw-w64 osslsigncode openssl
  clang-14 libclang-rt-14-dev
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
