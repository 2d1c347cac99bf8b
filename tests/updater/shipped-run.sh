#!/bin/bash
# The shipped (32-bit) kelvo2.exe under WOW64, once: an update run with no argument and no service
# registers in its own process (an empty list here), writes LastSid and ends with 0; a second run
# with the "-user" form and an invalid SID does nothing. A 32-bit process starts slowly where 32-bit
# code is emulated (about 45 s).
set -euo pipefail
updater="$1"
harness="$2"
[ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX/drive_c" ] || { echo "no test prefix"; exit 1; }
scratch="$WINEPREFIX/drive_c/corvane-scratch/updater-shipped"
rm -rf "$scratch"
mkdir -p "$scratch"
cp "$updater" "$scratch/"
locals=("$WINEPREFIX"/drive_c/users/*/AppData/Local)
local="${locals[0]}"
[ -d "$local" ] || { echo "no Local AppData folder in the prefix"; exit 1; }
mkdir -p "$local/Quillmar"
printf '<?xml version="1.0" encoding="utf-8"?>\r\n<ArrayOfPackageInfo />\r\n' >"$local/Quillmar/Migrate-AppxPackage"
"$harness/wine64" reg delete 'HKCU\Software\Quillmar' /f </dev/null >/dev/null 2>&1 || true
"$harness/wine64" reg add 'HKLM\SOFTWARE\Wow6432Node\Quillmar\AppX' /v DebugLevel /t REG_DWORD /d 1 /f </dev/null >/dev/null 2>&1

status=0
"$harness/wine64" 'C:\corvane-scratch\updater-shipped\kelvo2.exe' -silent </dev/null >/dev/null 2>&1 || status=$?
out=$(mktemp)
"$harness/wine64" reg query 'HKCU\Software\Quillmar\Appx' /v LastSid </dev/null >"$out" 2>/dev/null || true
lastsid=$(tr -d '\r' <"$out" | awk '/LastSid/ {print $3}')
rm -f "$out"
log=$(cat "$local/Quillmar/Migrate-AppxPackage.log" 2>/dev/null || true)
echo "$log"
"$harness/wine64" reg delete 'HKLM\SOFTWARE\Wow6432Node\Quillmar' /f </dev/null >/dev/null 2>&1 || true
rm -rf "$scratch" "$local/Quillmar"
[ "$status" -eq 0 ] || { echo "exit status $status"; exit 1; }
case "$lastsid" in
S-1-5-21-*) echo "LastSid $lastsid" ;;
*) echo "LastSid was not written"; exit 1 ;;
esac
# The settings key the 32-bit program read is the one a 64-bit program sees under Wow6432Node.
grep -q 'Command Line is -silent' <<<"$log" || { echo "DebugLevel was not read by the 32-bit program"; exit 1; }
