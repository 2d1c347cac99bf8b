#!/bin/bash
# Plants Unix links to folders (Wine lists them as directory reparse points) at the copied row folders
# themselves and at a parent of one, runs the given test program, and removes what it planted.
#   plant-row-links.sh <source|default-row|default-parent> <emulator> <test program> [arguments...]
# source:         in three source profiles: Favorites, AppData\Local\Microsoft and AppData are links
# default-row:    the default profile's Favorites is a link
# default-parent: the default profile's AppData\Local\Microsoft is a link
# Every link points into the test's own scratch area in the prefix.
set -eEuo pipefail
# A step that fails says where: set -e alone ends the run without a word.
trap 'echo "plant-row-links.sh: line $LINENO failed with exit code $?" >&2' ERR
mode=$1
shift
scratch="$WINEPREFIX/drive_c/corvane-scratch/row-links"
users="$WINEPREFIX/drive_c/users"
planted=()
plant() { # <link> <target name>
    mkdir -p "$scratch/$2/inner" "$(dirname "$1")"
    echo "only administrators may read this" >"$scratch/$2/secret.txt"
    echo deep >"$scratch/$2/inner/deep.txt"
    rm -rf "$1"
    ln -s "$scratch/$2" "$1"
    planted+=("$1")
}
rm -rf "$scratch" "$users/UpdRowLink" "$users/UpdOptionalLink" "$users/UpdRequiredParent"
case "$mode" in
    source)
        plant "$users/UpdRowLink/Favorites" fav-target
        plant "$users/UpdOptionalLink/AppData/Local/Microsoft/Windows Sidebar" sidebar-target
        plant "$users/UpdRequiredParent/AppData" appdata-target
        ;;
    default-row) plant "$users/Default/Favorites" default-fav-target ;;
    default-parent) plant "$users/Default/AppData/Local/Microsoft" default-local-target ;;
    default-optional) plant "$users/Default/AppData/Local/Microsoft/Windows Sidebar" default-sidebar-target ;;
    *) echo "unknown mode $mode" >&2; exit 2 ;;
esac
export CORVANE_ROW_LINKS='C:\corvane-scratch\row-links'
export CORVANE_ROW_LINKS_MODE="$mode"
rc=0
"$@" || rc=$?
# Wine gives a Windows exit code's low byte: 1 is a failed test; others (53 for a library not
# found, 5 for an access violation) mean the program never reached or left its tests.
if [ $rc -ne 0 ]; then echo "plant-row-links.sh: the test program ended with exit code $rc" >&2; fi
for link in "${planted[@]}"; do rm -f "$link"; done
rm -rf "$scratch" "$users/UpdRowLink" "$users/UpdOptionalLink" "$users/UpdRequiredParent" # rm -rf does not follow links
exit $rc
