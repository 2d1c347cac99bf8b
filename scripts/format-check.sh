#!/bin/bash
# The house style holds by itself: every C++ source and header of the tree must already be as
# clang-format (with the tree's .clang-format) would write it. Prints the files that are not.
#   format-check.sh            check
#   format-check.sh --fix      rewrite them in place
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if ! command -v clang-format >/dev/null; then
    echo "clang-format is not installed (scripts/install-deps.sh installs it)" >&2
    exit 1
fi
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
else
    mapfile -t files < <(find base driver profile appx companions tests bench -name '*.cpp' -o -name '*.h' | sort)
fi
if [ "${1:-}" = "--fix" ]; then
    clang-format -i "${files[@]}"
    exit 0
fi
bad=()
for f in "${files[@]}"; do
    clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -ne 0 ]; then
    printf 'not in the house style (scripts/format-check.sh --fix rewrites them):\n' >&2
    printf '  %s\n' "${bad[@]}" >&2
    exit 1
fi
echo "${#files[@]} files in the house style"
