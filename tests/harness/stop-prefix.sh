#!/bin/bash
# Ends the run's Wine server. The prefix stays for inspection until the next run replaces it.
export WINEPREFIX="$1/prefix"
wineserver -k </dev/null >/dev/null 2>&1 || true
exit 0
