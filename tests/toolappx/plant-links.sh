#!/bin/bash
# Plants Unix links to folders (Wine lists them as directory reparse points) in a source profile and
# a default profile for the Store-app copies, runs the given test program, and removes what it
# planted. Every link points into the test's own scratch area in the prefix.
#   plant-links.sh <emulator> <test program> [arguments...]
set -euo pipefail
scratch="$WINEPREFIX/drive_c/corvane-scratch/appx-links"
source="$WINEPREFIX/drive_c/users/Mig Links"
default="$WINEPREFIX/drive_c/users/Mig LinksDefault"
linkedq="$WINEPREFIX/drive_c/users/Mig LinksQ"
rm -rf "$scratch" "$source" "$default" "$linkedq"
mkdir -p "$scratch/source-windows/Caches" "$scratch/source-windows/WinX" "$scratch/default-quillmar" \
    "$scratch/default-tiles" "$source/AppData/Local/Microsoft" "$source/AppData/Local/Quillmar/Migrate" \
    "$default/AppData/Local"
echo "app list behind a link" >"$scratch/source-windows/appsFolder.itemdata-ms"
echo "cache behind a link" >"$scratch/source-windows/Caches/cache.db"
echo "winx behind a link" >"$scratch/source-windows/WinX/x.lnk"
echo "tile database" >"$source/AppData/Local/Quillmar/Migrate/vedatamodel.edb"
ln -s "$scratch/source-windows" "$source/AppData/Local/Microsoft/Windows"
ln -s "$scratch/default-quillmar" "$default/AppData/Local/Quillmar"
ln -s "$scratch/default-tiles" "$default/AppData/Local/TileDataLayer"
# A source profile whose Quillmar folder (the package list's folder) is a link.
mkdir -p "$scratch/source-quillmar" "$linkedq/AppData/Local"
echo "admin only" >"$scratch/source-quillmar/admin.txt"
ln -s "$scratch/source-quillmar" "$linkedq/AppData/Local/Quillmar"
export CORVANE_APPX_LINKS='C:\corvane-scratch\appx-links'
rc=0
"$@" || rc=$?
rm -f "$source/AppData/Local/Microsoft/Windows" "$default/AppData/Local/Quillmar" "$default/AppData/Local/TileDataLayer" \
    "$linkedq/AppData/Local/Quillmar"
rm -rf "$scratch" "$source" "$default" "$linkedq" # rm -rf does not follow links
exit $rc
