#!/bin/bash
# Plants Unix links to folders inside the test prefix (Wine lists them as directory reparse points;
# a Windows program under Wine cannot make one), runs the given test program, and removes the area
# again (Wine's RemoveDirectoryW cannot remove such a link).
#   plant-links.sh <emulator> <test program> [arguments...]
set -euo pipefail
base="$WINEPREFIX/drive_c/corvane-scratch/tree-links"
rm -rf "$base"
for c in Files All Copy Swapped; do
    mkdir -p "$base/$c/tree/sub" "$base/$c/outside/inner"
    echo keep >"$base/$c/outside/keep.txt"
    echo deep >"$base/$c/outside/inner/deep.txt"
    echo tree >"$base/$c/tree/sub/file.txt"
    ln -s ../outside "$base/$c/tree/link" # relative: it can only reach its own case's folder
done
export CORVANE_TREE_LINKS='C:\corvane-scratch\tree-links'
rc=0
"$@" || rc=$?
rm -rf "$base" # does not follow the links
exit $rc
