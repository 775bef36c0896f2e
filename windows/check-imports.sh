#!/usr/bin/env bash
# Fails unless the driver image is a native-subsystem image that imports only
# from the kernel, the kernel-streaming class driver, the USB driver library
# and the HAL.
set -euo pipefail
image="$1"
headers=$(x86_64-w64-mingw32-objdump -p "$image")
dlls=$(awk '/DLL Name:/ {print $3}' <<<"$headers" | sort -u)
echo "kscam.sys imports from: $(echo $dlls)"
for dll in $dlls; do
  case "${dll,,}" in
    ntoskrnl.exe|ks.sys|usbd.sys|hal.dll) ;;
    *) echo "unexpected import from $dll" >&2; exit 1 ;;
  esac
done
if ! grep -Eq '^Subsystem[[:space:]]+00000001' <<<"$headers"; then
  echo "not a native-subsystem image" >&2
  exit 1
fi
