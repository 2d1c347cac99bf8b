#!/bin/bash
# Plants Unix links to folders (Wine lists them as directory reparse points; a Windows program under
# Wine cannot make one) in a source profile and in the default profile, a file link and a hard link
# in the source profile, runs the given test program,
# and removes what it planted. Every link points into the test's own scratch area in the prefix.
#   plant-links.sh <emulator> <test program> [arguments...]
set -eEuo pipefail
# A step that fails says where: set -e alone ends the run without a word.
trap 'echo "plant-links.sh: line $LINENO failed with exit code $?" >&2' ERR
scratch="$WINEPREFIX/drive_c/corvane-scratch/update-links"
source="$WINEPREFIX/drive_c/users/UpdLinks/Documents"
default="$WINEPREFIX/drive_c/users/Default/Documents"
rm -rf "$scratch" "$WINEPREFIX/drive_c/users/UpdLinks"
mkdir -p "$scratch/source-target/inner" "$scratch/default-target" "$source" "$default"
echo "behind the source link" >"$scratch/source-target/keep.txt"
echo deep >"$scratch/source-target/inner/deep.txt"
echo "behind the default link" >"$scratch/default-target/keep.txt"
ln -s "$scratch/source-target" "$source/Linked Folder"
ln -s "$scratch/default-target" "$default/Old Link"
# A file only administrators should read, reached from the source profile by a file link and by a
# second name (hard link).
echo "not the user's" >"$scratch/admin-only.txt"
ln -s "$scratch/admin-only.txt" "$source/linked file.txt"
ln "$scratch/admin-only.txt" "$source/second name.txt"
# A folder of the source profile that a background loop keeps exchanging with a link to a folder
# outside the profile (atomically: renameat2 with RENAME_EXCHANGE), but only while the file swap-on
# exists, which the test that wants it makes. The copy then lists one and opens the other.
mkdir -p "$source/Swap" "$scratch/swap-target"
for i in $(seq 1 50); do echo "behind the swap link" >"$scratch/swap-target/s$i.txt"; done
ln -s "$scratch/swap-target" "$source/Swap.link"
python3 - "$source/Swap" "$source/Swap.link" "$scratch/swap-on" "$scratch/swap-stop" <<'PY' &
import ctypes, os, sys, time
libc = ctypes.CDLL(None, use_errno=True)
a, b, on, stop = sys.argv[1:]
while not os.path.exists(stop):
    if os.path.exists(on):
        libc.renameat2(-100, a.encode(), -100, b.encode(), 2)  # AT_FDCWD, RENAME_EXCHANGE
        time.sleep(0.0003)
    else:
        time.sleep(0.02)
PY
swapper=$!
export CORVANE_UPDATE_LINKS='C:\corvane-scratch\update-links'
rc=0
"$@" || rc=$?
# Wine gives a Windows exit code's low byte: 1 is a failed test; others (53 for a library not
# found, 5 for an access violation) mean the program never reached or left its tests.
if [ $rc -ne 0 ]; then echo "plant-links.sh: the test program ended with exit code $rc" >&2; fi
touch "$scratch/swap-stop"
wait $swapper || true
rm -f "$source/Linked Folder" "$default/Old Link" "$source/linked file.txt" "$source/second name.txt" \
    "$source/Swap" "$source/Swap.link" 2>/dev/null || true
rm -rf "$scratch" "$WINEPREFIX/drive_c/users/UpdLinks" # rm -rf does not follow links
exit $rc
