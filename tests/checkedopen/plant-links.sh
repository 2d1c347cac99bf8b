#!/bin/bash
# Plants Unix folder links and a hard link inside the test prefix for the open-and-check module's
# test (Wine shows a folder link as a reparse point and a hard link as a second name). Every link
# points at a folder of its own under the prefix's scratch area holding a file that must stay.
#   level1..level3: tree/a/b/c with a link at that level;
#   swap: tree/real is a real folder, linked/real a link; the test renames linked into tree's place
#   (Wine renames a link's target rather than the link, so the link's parent is what moves);
#   hard: one file with two names.
set -euo pipefail
[ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX/drive_c" ] || { echo "no test prefix"; exit 1; }
base="$WINEPREFIX/drive_c/corvane-scratch/checkedopen"
rm -rf "$base"
for n in 1 2 3 swap; do
    mkdir -p "$base/outside$n"
    printf 'keep %s' "$n" >"$base/outside$n/file.txt"
done
mkdir -p "$base/level1/tree" "$base/level2/tree/a" "$base/level3/tree/a/b"
ln -s "$base/outside1" "$base/level1/tree/a"
ln -s "$base/outside2" "$base/level2/tree/a/b"
ln -s "$base/outside3" "$base/level3/tree/a/b/c"
mkdir -p "$base/swap/tree/real" "$base/swap/linked"
printf 'own' >"$base/swap/tree/real/file.txt"
ln -s "$base/outsideswap" "$base/swap/linked/real"
mkdir -p "$base/hard/tree" "$base/hard/elsewhere"
printf 'other file' >"$base/hard/elsewhere/target.txt"
ln "$base/hard/elsewhere/target.txt" "$base/hard/tree/file.txt"
