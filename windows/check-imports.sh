#!/usr/bin/env bash
# Fails unless the driver image imports only from the kernel, the
# kernel-streaming class driver, the USB driver library and the HAL.
set -euo pipefail
image="$1"
dlls=$(x86_64-w64-mingw32-objdump -p "$image" | awk '/DLL Name:/ {print $3}' | sort -u)
echo "kscam.sys imports from: $(echo $dlls)"
for dll in $dlls; do
  case "${dll,,}" in
    ntoskrnl.exe|ks.sys|usbd.sys|hal.dll) ;;
    *) echo "unexpected import from $dll" >&2; exit 1 ;;
  esac
done
x86_64-w64-mingw32-objdump -p "$image" | grep -q "Subsystem.*0001" || { echo "not a native-subsystem image" >&2; exit 1; }
