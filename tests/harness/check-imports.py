#!/usr/bin/env python3
"""Fails when a shipped binary imports a function outside a reviewed list (Windows XP SP3 for the
tool; Windows 8 for the companions that run only there, with --label "Windows 8").

Wine loads anything, so it cannot show that a binary loads on XP; the import table can.
"""
import argparse
import glob
import os
import re
import subprocess
import sys


def imports(path):
    out = subprocess.run(["i686-w64-mingw32-objdump", "-p", path], check=True, capture_output=True,
                         text=True).stdout
    dll = None
    found = []
    for line in out.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1).lower()
            continue
        m = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if dll and m:
            found.append(f"{dll}!{m.group(1)}")
        elif line.strip() == "" and dll:
            pass
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--allow", required=True)
    parser.add_argument("--dir")
    parser.add_argument("--files", nargs="+", help="check these binaries instead of a folder's")
    parser.add_argument("--label", "--name", dest="label", default="Windows XP SP3",
                        help="the Windows version the list is for")
    args = parser.parse_args()
    if not args.dir and not args.files:
        parser.error("--dir or --files is needed")
    with open(args.allow) as f:
        allowed = {l.split("#")[0].strip().lower() for l in f if l.split("#")[0].strip()}
    if args.files:
        binaries = args.files
        missing = [f for f in binaries if not os.path.isfile(f)]
        if missing:
            print(f"missing binaries: {' '.join(missing)}")
            return 1
    else:
        binaries = sorted(glob.glob(os.path.join(args.dir, "*.exe")) + glob.glob(os.path.join(args.dir, "*.dll")))
    if not binaries:
        print(f"no shipped binaries in {args.dir}")
        return 1
    bad = 0
    for path in binaries:
        names = imports(path)
        if not names:
            print(f"{path}: no imports read")
            bad += 1
        for name in names:
            if name.lower() not in allowed:
                print(f"{os.path.basename(path)}: {name} is not on the {args.label} list")
                bad += 1
        print(f"{os.path.basename(path)}: {len(names)} imports checked")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
