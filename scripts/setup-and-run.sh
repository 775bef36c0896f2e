#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the kscam tool and runs the main
# job: the simulated camera is plugged in, the driver loaded and started, a
# few frames of its colour bars are captured into PNG files at 320 x 240 and
# the capture's summary is printed. Extra arguments go to the capture
# (--driver build/windows-kernel/kscam.sys runs the Windows build instead).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh
cmake --preset default >/dev/null
cmake --build --preset default --target kscam
kscam=build/default/tools/kscam
out=build/main-job
mkdir -p "$out"
rm -f "$out"/frame-*.png
# A state directory of the job's own: the user's stored settings stay as they
# are, and the exposure and gain below are the ones the frames are taken with.
state="$out/state"
"$kscam" set --state "$state" exposure=200,gain=14
"$kscam" capture --state "$state" --scene bars --subsample 3 -n 5 -o "$out/frame-#.png" "$@"
ls -l "$out"/frame-*.png
