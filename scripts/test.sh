#!/usr/bin/env bash
# Builds everything on the host and runs the whole test suite. With a preset
# name (asan, tsan) it does the same in that sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j2
