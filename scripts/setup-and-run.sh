#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the host tools and runs the main
# job: the simulated camera is plugged in, the driver loaded and started, and
# what it found is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh
cmake --preset default >/dev/null
cmake --build --preset default --target kscam
build/default/tools/kscam probe "$@"
