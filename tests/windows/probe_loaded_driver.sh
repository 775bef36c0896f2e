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
# Each run starts from the defaults: a state directory of its own.
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
built=$("$kscam" probe --state "$state/built" | strip_times)
loaded=$("$kscam" probe --state "$state/loaded" --driver "$image" | strip_times)
if [ "$built" != "$loaded" ]; then
  echo "the outputs differ"
  diff <(echo "$built") <(echo "$loaded") || true
  exit 1
fi
echo "$loaded"
