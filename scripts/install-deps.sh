#!/bin/bash
# Installs what the build and the tests need on Debian (run as root, or with sudo available).
set -euo pipefail
need=()
command -v i686-w64-mingw32-g++-win32 >/dev/null || need+=(g++-mingw-w64-i686)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
command -v wine >/dev/null || need+=(wine wine32 wine64)
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
command -v python3 >/dev/null || need+=(python3)
# The format check of the test suite (scripts/format-check.sh).
command -v clang-format >/dev/null || need+=(clang-format)
# The updater's window test: a headless display and a screenshot of it.
command -v Xvfb >/dev/null || need+=(xvfb)
command -v import >/dev/null || need+=(imagemagick)
root=$(cd "$(dirname "$0")/.." && pwd)
if [ ${#need[@]} -eq 0 ]; then exec $( [ "$(id -u)" -eq 0 ] || echo sudo ) "$root/scripts/enable-i386.sh"; fi
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
# 32-bit programs run under Wine's WOW64, which needs the i386 architecture.
$sudo dpkg --add-architecture i386
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${need[@]}"
exec $sudo "$root/scripts/enable-i386.sh"
