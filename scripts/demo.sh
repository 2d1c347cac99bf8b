#!/bin/bash
# Installs what is missing, builds, and runs the tool's whole job under Wine in a throwaway prefix:
# the shipped corvane.exe (as on Windows 10) makes a sample profile with Store apps the default
# profile, and a new user's first logon registers those apps for that user.
#   demo.sh [--noappx] [--no-setup]
#   --noappx    the shorter run: corvane.exe Sample /q /NoAppx and the files the default profile received
#   --no-setup  neither install nor build (the test suite runs the demo on its own build)
# Ends with the tool's exit code when it failed, 1 when a step shown is not as expected, else 0.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVANE_BUILD_DIR:-$root/build}
# The folder is emptied on every run, so it is only ever a "demo" or "demo-<name>" folder of the
# build folder (CORVANE_DEMO_NAME; the test suite uses its own).
name=${CORVANE_DEMO_NAME:-demo}
case "$name" in
    demo | demo-[A-Za-z0-9]*) case "$name" in *[!A-Za-z0-9-]*) name="" ;; esac ;;
    *) name="" ;;
esac
[ -n "$name" ] || { echo "CORVANE_DEMO_NAME must be demo or demo-<letters, digits, hyphens>" >&2; exit 87; }
demo="$build/$name"
appx=1
setup=1
for arg in "$@"; do
    case "$arg" in
        --noappx | --NoAppx) appx=0 ;;
        --no-setup) setup=0 ;;
        *) echo "usage: demo.sh [--noappx] [--no-setup]" >&2; exit 87 ;;
    esac
done
if [ "$setup" -eq 1 ]; then
    "$root/scripts/install-deps.sh"
    "$root/scripts/build.sh" --tests
fi
for f in "$build/ship/corvane.exe" "$build/test/tests/bin/sample.exe"; do
    [ -f "$f" ] || { echo "$f is missing: build first (bash scripts/build.sh --tests)" >&2; exit 1; }
done

echo "Preparing a throwaway Wine prefix in $demo (the first time this takes a few minutes)..."
"$root/tests/harness/make-prefix.sh" "$demo" "$build/ship" "$build/test/wine-template" >/dev/null
export WINEPREFIX="$demo/prefix" HOME="$demo/home" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
unset DISPLAY
xvfb=""
cleanup() {
    # Wine's processes first: they hold a connection to the display.
    WINEPREFIX="$demo/prefix" wineserver -k >/dev/null 2>&1 || true
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cp "$build/test/tests/bin/sample.exe" "$WINEPREFIX/drive_c/corvane-tests/"
sample() { "$root/tests/harness/wine64" 'C:\corvane-tests\sample.exe' "$@" </dev/null; }
started=$(date +%s)
status=0

if [ "$appx" -eq 0 ]; then
    sample create || exit 1
    echo
    echo "> corvane.exe Sample /q /NoAppx"
    set +e
    wine 'C:\corvane-bin\corvane.exe' Sample /q /NoAppx </dev/null 2>/dev/null
    code=$?
    set -e
    echo "(exit code $code)"
    sample summary || status=1
    echo
    echo "Demo run: $(($(date +%s) - started)) s."
    [ "$code" -eq 0 ] || exit "$code"
    exit "$status"
fi

# Windows 10, a sample user with Store packages where Wine's package stand-in keeps them.
sample appx-create || exit 1
echo
echo "> corvane.exe Sample /q"
set +e
wine 'C:\corvane-bin\corvane.exe' Sample /q </dev/null 2>/dev/null
code=$?
set -e
echo "(exit code $code)"
[ "$code" -eq 0 ] || exit "$code"
sample appx-summary || status=1

# A new user's first logon; the updater's window is photographed on a virtual display.
echo
display=""
if command -v Xvfb >/dev/null && command -v import >/dev/null; then
    for n in $(seq 171 240); do
        if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
    done
fi
markers="$WINEPREFIX/drive_c/corvane-demo/window"
shot="$demo/updater-window.png"
if [ -z "$display" ]; then
    sample firstlogon || status=1
    echo "(no screenshot: Xvfb and ImageMagick's import are needed for one)"
else
    Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
    DISPLAY=":$display" "$root/tests/harness/wine64" 'C:\corvane-tests\sample.exe' firstlogon \
        'C:\corvane-demo\window' </dev/null >"$demo/firstlogon.txt" 2>/dev/null &
    logon=$!
    while kill -0 "$logon" 2>/dev/null && [ ! -e "$markers/ready" ]; do sleep 0.1; done
    if [ -e "$markers/ready" ] && import -display ":$display" -window root "$shot" 2>/dev/null; then
        took="yes"
    else
        took=""
    fi
    wait "$logon" || status=1
    cat "$demo/firstlogon.txt"
    if [ -n "$took" ]; then
        echo
        echo "Screenshot of the updater's window during the registration: $shot"
    else
        echo "(no screenshot: the updater's window did not show its progress)"
        status=1
    fi
fi
echo
echo "Demo run: $(($(date +%s) - started)) s after set-up."
exit "$status"
