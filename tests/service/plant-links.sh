#!/bin/bash
# Plants Unix folder links inside the test prefix (Wine shows them as reparse points) where the
# service copies and deletes as LocalSystem in folders a user controls. Each link points at a folder
# of its own under the prefix's scratch area holding a file that must stay as it is.
#   profile svc-links-a: its tile database folder and a backed-up package folder are links;
#   profile svc-links-b: its backup folder (Quillmar\Migrate) is a link;
#   the Wine user (the pipe client): its live tile database folder and a package folder that a
#   restore writes into are links, beside a real backup of both.
set -euo pipefail
[ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX/drive_c" ] || { echo "no test prefix"; exit 1; }
users="$WINEPREFIX/drive_c/users"
outside="$WINEPREFIX/drive_c/corvane-scratch/service-links"
client=$(find "$users" -mindepth 1 -maxdepth 1 -type d ! -name Public ! -name Default ! -name 'svc-*' | head -n 1)
[ -n "$client" ] || { echo "no Wine user folder"; exit 1; }
rm -rf "$outside" "$users/svc-links-a" "$users/svc-links-b"
for d in database package backup live restore; do
    mkdir -p "$outside/$d"
    printf 'keep %s' "$d" >"$outside/$d/vedatamodel.edb"
done

a="$users/svc-links-a/AppData/Local"
mkdir -p "$a/TileDataLayer" "$a/Packages"
ln -s "$outside/database" "$a/TileDataLayer/Database"
ln -s "$outside/package" "$a/Packages/Microsoft.Windows.Cortana_cw5n1h2txyewy"

b="$users/svc-links-b/AppData/Local"
mkdir -p "$b/TileDataLayer/Database" "$b/Packages/Microsoft.Windows.Cortana_cw5n1h2txyewy" "$b/Quillmar"
printf 'live' >"$b/TileDataLayer/Database/vedatamodel.edb"
printf 'state' >"$b/Packages/Microsoft.Windows.Cortana_cw5n1h2txyewy/state.dat"
ln -s "$outside/backup" "$b/Quillmar/Migrate"

c="$client/AppData/Local"
rm -rf "$c/TileDataLayer" "$c/Packages/Microsoft.Windows.ShellExperienceHost_cw5n1h2txyewy" \
    "$c/Quillmar/Migrate"
mkdir -p "$c/TileDataLayer" "$c/Packages" "$c/Quillmar/Migrate/Packages/Microsoft.Windows.ShellExperienceHost_cw5n1h2txyewy"
printf 'backup' >"$c/Quillmar/Migrate/vedatamodel.edb"
printf 'restored' >"$c/Quillmar/Migrate/Packages/Microsoft.Windows.ShellExperienceHost_cw5n1h2txyewy/vedatamodel.edb"
ln -s "$outside/live" "$c/TileDataLayer/Database"
ln -s "$outside/restore" "$c/Packages/Microsoft.Windows.ShellExperienceHost_cw5n1h2txyewy"

# Another user's Local AppData, and a folder of the client's profile that is a link to it: the
# client may name that folder as its own Local AppData (User Shell Folders).
victim="$users/svc-victim/AppData/Local"
rm -rf "$users/svc-victim" "$client/linked-local"
mkdir -p "$victim/TileDataLayer/Database" "$victim/Quillmar/Migrate"
printf 'victim tiles' >"$victim/TileDataLayer/Database/vedatamodel.edb"
printf 'victim log' >"$victim/TileDataLayer/Database/edb.log"
printf 'victim backup' >"$victim/Quillmar/Migrate/vedatamodel.edb"
ln -s "$victim" "$client/linked-local"

# Profile svc-links-q: its Quillmar folder is a link to a folder only administrators may write.
q="$users/svc-links-q/AppData/Local"
rm -rf "$users/svc-links-q"
mkdir -p "$q" "$outside/admin"
printf 'admin only' >"$outside/admin/admin.txt"
ln -s "$outside/admin" "$q/Quillmar"

# A Quillmar folder whose "Error Reporting" folder is a link, standing for folders a user made first
# in the common application data folder; the test renames it into place (Wine renames a link's
# target rather than the link, so the link's parent is what moves).
mkdir -p "$outside/programdata" "$outside/pd-quillmar"
ln -s "$outside/programdata" "$outside/pd-quillmar/Error Reporting"
