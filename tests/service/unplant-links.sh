#!/bin/bash
# Takes away what plant-links.sh planted in the Wine user's own profile (the pipe client's), so that
# the tests that run later find the client's folders plain again. rm -f on a link removes the link
# only; the folders the links point at live under the scratch area and go with it.
set -euo pipefail
[ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX/drive_c" ] || { echo "no test prefix"; exit 1; }
users="$WINEPREFIX/drive_c/users"
client=$(find "$users" -mindepth 1 -maxdepth 1 -type d ! -name Public ! -name Default ! -name 'svc-*' | head -n 1)
[ -n "$client" ] || { echo "no Wine user folder"; exit 1; }
c="$client/AppData/Local"
rm -f "$c/TileDataLayer/Database" "$c/Packages/Microsoft.Windows.ShellExperienceHost_cw5n1h2txyewy" \
    "$client/linked-local"
rm -rf "$users/svc-links-a" "$users/svc-links-b" "$users/svc-links-q" "$users/svc-victim"
