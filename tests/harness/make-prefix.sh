#!/bin/bash
# Makes the throwaway Wine prefix of one test run and copies the shipped binaries into it.
#   make-prefix.sh <run folder> <shipped build folder> <template folder>
# A pristine prefix is made once into the template folder (slow where Wine's 32-bit half runs under
# emulation) and copied for every run. Safety first: HOME points into a scratch folder before Wine
# first runs, the folders Wine links to the host's home become real folders, and the Z: drive (the
# host's root) is removed, so no test can reach a host file through the prefix.
set -euo pipefail
run_dir=$1
shipped=$2
template=$3

export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
unset DISPLAY

for d in "$run_dir" "$template"; do
    case "$d" in
        /|/root|/root/|/home|/home/*|"") echo "refusing to use '$d' as a scratch folder" >&2; exit 1 ;;
    esac
done

make_safe() { # prefix
    rm -f "$1/dosdevices/z:"
    find "$1/drive_c/users" -type l | while read -r link; do
        rm -f "$link"
        mkdir -p "$link"
    done
    if [ -e "$1/dosdevices/z:" ] || [ -n "$(find "$1/drive_c/users" -type l)" ]; then
        echo "prefix $1 still links to the host" >&2
        exit 1
    fi
}

if [ ! -f "$template/ready" ]; then
    rm -rf "$template"
    mkdir -p "$template/home"
    HOME="$template/home" WINEPREFIX="$template/prefix" wineboot -i </dev/null >/dev/null 2>&1
    # Services cannot start in the server session that ran wineboot -i; it must also be gone
    # before the prefix is copied.
    WINEPREFIX="$template/prefix" wineserver -k </dev/null >/dev/null 2>&1 || true
    make_safe "$template/prefix"
    touch "$template/ready"
fi

export HOME="$run_dir/home"
export WINEPREFIX="$run_dir/prefix"
if [ -d "$WINEPREFIX" ]; then wineserver -k </dev/null >/dev/null 2>&1 || true; fi
rm -rf "$run_dir"
mkdir -p "$HOME"
cp -a "$template/prefix" "$WINEPREFIX"
make_safe "$WINEPREFIX"

mkdir -p "$WINEPREFIX/drive_c/corvane-bin" "$WINEPREFIX/drive_c/corvane-tests"
cp "$shipped"/*.exe "$WINEPREFIX/drive_c/corvane-bin/"

# One persistent server for the whole run, its streams detached: Wine's background processes
# inherit the first process's streams, and a pipe left open there makes ctest wait forever.
setsid wineserver -p </dev/null >/dev/null 2>&1
"$(dirname "$0")/wine64" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1
echo "prefix ready: $WINEPREFIX"
