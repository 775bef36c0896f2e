#!/usr/bin/env bash
# Cross-builds kscam.sys with mingw-w64 and checks what it imports.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset windows-kernel >/dev/null
cmake --build --preset windows-kernel
ls -l build/windows-kernel/kscam.sys
