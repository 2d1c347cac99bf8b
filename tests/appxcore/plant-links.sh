#!/bin/bash
# Plants Unix folder links inside the test prefix (Wine shows them as reparse points) for the
# package-folder tests: one inside a package folder that is backed up, and one standing in for a
# package folder that a restore writes into. Every path lies under the prefix's scratch area.
set -euo pipefail
[ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX/drive_c" ] || { echo "no test prefix"; exit 1; }
base="$WINEPREFIX/drive_c/corvane-scratch/appxcore-links"
rm -rf "$base"
packages="$base/profile/AppData/Local/Packages"
backup="$base/profile/AppData/Local/Quillmar/Migrate/Packages"
mkdir -p "$base/outside" "$base/outside-target" "$packages/Microsoft.Windows.Cortana_cw5n1h2txyewy/LocalState" \
    "$backup/Microsoft.Windows.ShellExperienceHost_cw5n1h2txyewy"
printf 'secret' >"$base/outside/secret.txt"
printf 'ok' >"$packages/Microsoft.Windows.Cortana_cw5n1h2txyewy/LocalState/ok.txt"
printf 'restored' >"$backup/Microsoft.Windows.ShellExperienceHost_cw5n1h2txyewy/x.txt"
ln -s "$base/outside" "$packages/Microsoft.Windows.Cortana_cw5n1h2txyewy/linked"
ln -s "$base/outside-target" "$packages/Microsoft.Windows.ShellExperienceHost_cw5n1h2txyewy"
# A tile database folder that is a link to another folder holding a database.
mkdir -p "$base/outside-tiles" "$base/profile/AppData/Local/TileDataLayer"
printf 'other user' >"$base/outside-tiles/vedatamodel.edb"
ln -s "$base/outside-tiles" "$base/profile/AppData/Local/TileDataLayer/Database"
