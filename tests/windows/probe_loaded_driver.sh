#!/usr/bin/env bash
# kscam probe with the loaded Windows binary prints what it prints with the
# driver built into the tool, times aside. Skipped (exit code 77) until the
# Windows build has made the image.
set -euo pipefail
kscam=$1
image=$2
if [ ! -f "$image" ]; then
  echo "$image not built (scripts/build-windows-driver.sh)"
  exit 77
fi
strip_times() { sed -E 's/ \([0-9.]+ ms\)//'; }
built=$(KSCAM_REGISTRY= "$kscam" probe | strip_times)
loaded=$(KSCAM_REGISTRY= "$kscam" probe --driver "$image" | strip_times)
if [ "$built" != "$loaded" ]; then
  echo "the outputs differ"
  diff <(echo "$built") <(echo "$loaded") || true
  exit 1
fi
echo "$loaded"
