#!/usr/bin/env bash
# Runs the live view's browser test: run_browser_test.sh SERVER ARTIFACT_DIR.
# Skips (77) where node or chromium is missing; on a checkout without the
# test's npm packages it installs them through the project's script first.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
command -v node >/dev/null || { echo "node is not installed: skipped"; exit 77; }
[ -x "${CHROMIUM:-/usr/bin/chromium}" ] || { echo "chromium is not installed: skipped"; exit 77; }
[ -d "$here/node_modules/playwright-core" ] || "$here/../../../scripts/install-node-packages.sh"
mkdir -p "$2"
exec node "$here/live_view.test.mjs" "$1" "$2"
