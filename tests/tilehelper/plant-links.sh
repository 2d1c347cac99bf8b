#!/bin/bash
# Plants Unix folder links inside the test prefix (Wine shows them as reparse points) where the tile
# library works as LocalSystem: the live database folder itself, a folder inside it, and the
# Quillmar folder a backup writes into. Each points at a folder of its own under the prefix's
# scratch area holding a file that must survive.
set -euo pipefail
[ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX/drive_c" ] || { echo "no test prefix"; exit 1; }
base="$WINEPREFIX/drive_c/corvane-scratch/tile-links"
rm -rf "$base"
for d in outside-database outside-inner outside-quillmar; do
    mkdir -p "$base/$d"
    printf 'keep %s' "$d" >"$base/$d/vedatamodel.edb"
done
# The live database folder is a link.
mkdir -p "$base/database-link/AppData/Local/TileDataLayer" "$base/database-link/AppData/Local/Quillmar/Migrate"
ln -s "$base/outside-database" "$base/database-link/AppData/Local/TileDataLayer/Database"
printf 'backup' >"$base/database-link/AppData/Local/Quillmar/Migrate/vedatamodel.edb"
# A link inside the live database folder, beside a file that is the user's own.
mkdir -p "$base/inner-link/AppData/Local/TileDataLayer/Database"
printf 'old' >"$base/inner-link/AppData/Local/TileDataLayer/Database/edb.log"
ln -s "$base/outside-inner" "$base/inner-link/AppData/Local/TileDataLayer/Database/logs"
# The Quillmar folder that a backup writes into is a link.
mkdir -p "$base/quillmar-link/AppData/Local/TileDataLayer/Database"
printf 'live' >"$base/quillmar-link/AppData/Local/TileDataLayer/Database/vedatamodel.edb"
ln -s "$base/outside-quillmar" "$base/quillmar-link/AppData/Local/Quillmar"
