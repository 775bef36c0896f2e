#!/usr/bin/env bash
# Installs the npm packages of the browser tests, exactly as their lock files
# pin them, with Node.js and npm from Debian where the machine has neither.
# The npm cache answers first, so a machine that has installed them once
# needs the registry no more.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq nodejs npm
fi
for dir in tests/view/browser; do
  (cd "$dir" && npm ci --prefer-offline --no-audit --no-fund --loglevel=error)
done
