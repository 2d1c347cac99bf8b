#!/bin/bash
# Plants Unix links to folders (Wine lists them as directory reparse points; a Windows program under
# Wine cannot make one) in a source profile and in the default profile, a file link and a hard link
# in the source profile, runs the given test program,
# and removes what it planted. Every link points into the test's own scratch area in the prefix.
#   plant-links.sh <emulator> <test program> [arguments...]
set -euo pipefail
scratch="$WINEPREFIX/drive_c/corvane-scratch/update-links"
source="$WINEPREFIX/drive_c/users/UpdLinks/Documents"
default="$WINEPREFIX/drive_c/users/Default/Documents"
rm -rf "$scratch" "$WINEPREFIX/drive_c/users/UpdLinks"
mkdir -p "$scratch/source-target/inner" "$scratch/default-target" "$source" "$default"
echo "behind the source link" >"$scratch/source-target/keep.txt"
echo deep >"$scratch/source-target/inner/deep.txt"
echo "behind the default link" >"$scratch/default-target/keep.txt"
ln -s "$scratch/source-target" "$source/Linked Folder"
ln -s "$scratch/default-target" "$default/Old Link"
# A file only administrators should read, reached from the source profile by a file link and by a
# second name (hard link).
echo "not the user's" >"$scratch/admin-only.txt"
ln -s "$scratch/admin-only.txt" "$source/linked file.txt"
ln "$scratch/admin-only.txt" "$source/second name.txt"
export CORVANE_UPDATE_LINKS='C:\corvane-scratch\update-links'
rc=0
"$@" || rc=$?
rm -f "$source/Linked Folder" "$default/Old Link" "$source/linked file.txt" "$source/second name.txt"
rm -rf "$scratch" "$WINEPREFIX/drive_c/users/UpdLinks" # rm -rf does not follow links
exit $rc
