#!/bin/bash
# Builds the shipped binaries (build/ship) and the test programs (build/test).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVANE_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build/ship" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw-win32.cmake" >/dev/null
cmake --build "$build/ship"
if [ "${1:-}" = "--tests" ]; then
    cmake -S "$root" -B "$build/test" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVANE_BUILD_TESTS=ON \
        -DCORVANE_SHIPPED_DIR="$build/ship" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64-mingw-posix.cmake" >/dev/null
    cmake --build "$build/test"
fi
