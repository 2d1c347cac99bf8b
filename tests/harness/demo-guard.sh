#!/bin/bash
# scripts/demo.sh empties its folder on every run: a folder name from the environment that is not a
# "demo" folder of the build folder, or an unknown option, must end the demo with 87 before
# anything is removed. Runs against a scratch build folder of its own; needs no Wine.
#   demo-guard.sh <demo.sh> <scratch folder>
set -uo pipefail
demo=$1
scratch=$2
case "$scratch" in */demo-guard) ;; *) echo "refusing scratch folder $scratch"; exit 1 ;; esac
rm -rf "$scratch"
mkdir -p "$scratch/build/test" "$scratch/build/ship" "$scratch/build/demo-x" "$scratch/outside"
for d in build/test build/ship build/demo-x outside; do echo keep >"$scratch/$d/sentinel"; done
failures=0
expect_refused() { # description, then the command's environment and arguments
    local what=$1
    shift
    local out code
    out=$(env CORVANE_BUILD_DIR="$scratch/build" "$@" 2>&1 </dev/null)
    code=$?
    if [ "$code" -ne 87 ]; then
        echo "FAIL: $what ended with $code, not 87: $out"
        failures=$((failures + 1))
    fi
}
for name in test ship ../outside demo/../test demo-x/../../outside "demo-" "demo-a b" demox .. /tmp; do
    expect_refused "CORVANE_DEMO_NAME='$name'" CORVANE_DEMO_NAME="$name" bash "$demo" --no-setup
done
expect_refused "an unknown option" bash "$demo" --no-setup --bogus
expect_refused "a misspelt --noappx" bash "$demo" --noapx --no-setup
for d in build/test build/ship build/demo-x outside; do
    if [ "$(cat "$scratch/$d/sentinel" 2>/dev/null)" != keep ]; then
        echo "FAIL: $scratch/$d/sentinel was touched"
        failures=$((failures + 1))
    fi
done
rm -rf "$scratch"
[ "$failures" -eq 0 ] && echo "every refused run ended with 87 and removed nothing"
exit "$failures"
