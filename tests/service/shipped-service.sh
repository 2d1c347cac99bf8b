#!/bin/bash
# Runs the end-to-end conversation against the shipped 32-bit service (under WOW64) and its tile
# library: copies both into the prefix and points the test program at them.
#   shipped-service.sh <shipped build> <harness folder> <service_e2e.exe>
set -euo pipefail
shipped="$1"
harness="$2"
tests="$3"
[ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX/drive_c" ] || { echo "no test prefix"; exit 1; }
dest="$WINEPREFIX/drive_c/corvane-ship-service"
rm -rf "$dest"
mkdir -p "$dest"
cp "$shipped/companions/service/QuillmarAppxService.exe" "$shipped/companions/tilehelper/kelvohlp.dll" "$dest/"
export CORVANE_SERVICE_EXE='C:\corvane-ship-service\QuillmarAppxService.exe'
# One service start only (each 32-bit process start is slow where 32-bit code is emulated).
exec "$harness/wine-run" "$tests" --gtest_filter='ServiceEndToEnd.*:-*Restart*:*Pending*:*Windows81*:*SilentClient*'
