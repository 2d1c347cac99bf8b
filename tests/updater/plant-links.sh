#!/bin/bash
# Plants a Unix folder link inside the test prefix (Wine shows it as a reparse point): a profile whose
# AppData\Local leads to another folder, for the listing that must not create its folder through it.
set -euo pipefail
[ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX/drive_c" ] || { echo "no test prefix"; exit 1; }
base="$WINEPREFIX/drive_c/corvane-scratch/updater-links"
rm -rf "$base"
mkdir -p "$base/outside" "$base/profile/AppData"
ln -s "$base/outside" "$base/profile/AppData/Local"
