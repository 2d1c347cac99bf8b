#!/bin/bash
# Runs the shipped (32-bit, XP-loadable) build of the package module under WOW64: the runtime's
# package manager cannot be activated under Wine, so the module must fall back to the stand-in and
# say so in the text log. A 32-bit process starts slowly here (about 45 s under emulation).
set -euo pipefail
probe="$1"
harness="$2"
[ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX/drive_c" ] || { echo "no test prefix"; exit 1; }
scratch="$WINEPREFIX/drive_c/corvane-scratch/appxcore-probe"
rm -rf "$scratch"
mkdir -p "$scratch"
cp "$probe" "$scratch/"
logs=("$WINEPREFIX"/drive_c/users/*/AppData/Local/Quillmar/Migrate-AppxPackage.log)
rm -f "${logs[@]}"
# Output goes to a file, not a pipe: Wine's helper processes may inherit the stream and hold a
# pipe open after the program ends.
result=$(mktemp)
"$harness/wine64" 'C:\corvane-scratch\appxcore-probe\appxcore_probe.exe' -platform </dev/null >"$result" 2>/dev/null
out=$(cat "$result")
rm -f "$result"
rm -rf "$scratch"
echo "$out"
case "$out" in
*"package repository stand-in"*) ;;
*) echo "the stand-in was not chosen"; exit 1 ;;
esac
logs=("$WINEPREFIX"/drive_c/users/*/AppData/Local/Quillmar/Migrate-AppxPackage.log)
cat "${logs[@]}"
grep -q 'Windows.Management.Deployment.PackageManager cannot be activated (0x80040154' "${logs[@]}"
rm -f "${logs[@]}"
