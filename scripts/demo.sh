#!/bin/bash
# Installs what is missing, builds, and runs the tool's main job under Wine: the shipped corvane.exe
# makes a sample profile the default profile of a throwaway Wine prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVANE_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" --tests
echo "Preparing a throwaway Wine prefix (the first time this takes a few minutes)..."
"$root/tests/harness/make-prefix.sh" "$build/demo" "$build/ship" "$build/test/wine-template" >/dev/null
export WINEPREFIX="$build/demo/prefix" HOME="$build/demo/home" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
unset DISPLAY
cp "$build/test/tests/bin/sample.exe" "$WINEPREFIX/drive_c/corvane-tests/"
"$root/tests/harness/wine64" 'C:\corvane-tests\sample.exe' create
echo
echo "> corvane.exe Sample /q /NoAppx"
set +e
wine 'C:\corvane-bin\corvane.exe' Sample /q /NoAppx </dev/null 2>/dev/null
code=$?
set -e
echo "(exit code $code)"
"$root/tests/harness/wine64" 'C:\corvane-tests\sample.exe' summary
WINEPREFIX="$build/demo/prefix" wineserver -k >/dev/null 2>&1 || true
exit $code
