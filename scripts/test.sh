#!/bin/bash
# Installs what is missing, builds everything and runs the whole test suite under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" --tests
build=${CORVANE_BUILD_DIR:-$root/build}
cd "$build/test"
# Wine's background processes keep the streams of the first Wine process; ctest's own streams stay
# clean because the prefix fixture starts the server with its streams on /dev/null.
ctest --output-on-failure --timeout 900 "$@" </dev/null
