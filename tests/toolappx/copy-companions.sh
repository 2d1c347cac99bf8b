#!/bin/bash
# Copies companion build outputs into the run's prefix under fixed names, for byte comparisons:
#   copy-companions.sh <folder below drive_c> <kelvo2> <QuillmarAppxService> <kelvohlp>
set -euo pipefail
dest="$WINEPREFIX/drive_c/$1"
mkdir -p "$dest"
cp "$2" "$dest/kelvo2.exe"
cp "$3" "$dest/QuillmarAppxService.exe"
cp "$4" "$dest/kelvohlp.dll"
