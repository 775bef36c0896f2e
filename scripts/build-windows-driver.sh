#!/usr/bin/env bash
# Cross-builds kscam.sys with mingw-w64 (the build runs the package check,
# windows/check-package.sh), signs it with a test certificate and puts the
# installable package together in build/windows-kernel/package.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset windows-kernel >/dev/null
cmake --build --preset windows-kernel
package=build/windows-kernel/package
windows/test-sign.sh build/windows-kernel/kscam.sys "$package/kscam.sys" build/test-certificate
cp windows/kscam.inf build/test-certificate/kscam-test.cer "$package/"
ls -l "$package"
