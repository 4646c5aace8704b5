#!/usr/bin/env python3
"""Lists every include of the firmware that runs up the floors.

Reads the floor table (scripts/floors.txt) and every #include "..." of the
firmware's modules. An include of a module on a higher floor, or of a module
the table does not place, is reported; the exit status is 1 when anything was
reported. Run from anywhere: paths are taken relative to the project root.
"""
import fnmatch
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TABLE = os.path.join(ROOT, "scripts", "floors.txt")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def read_floors(path):
    floors = []
    with open(path) as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if words:
                floors.append((int(words[0]), words[1], words[2:]))
    return floors


def floor_of(module, floors):
    for number, name, patterns in floors:
        for p in patterns:
            # '*' stays within one folder.
            if fnmatch.fnmatch(module, p) and "/" not in module[len(p.split("*")[0]):]:
                return number, name
    return None


def main():
    floors = read_floors(TABLE)
    folders = sorted({os.path.dirname(p) for _, _, pats in floors for p in pats})
    reports = []
    for folder in folders:
        base = os.path.join(ROOT, folder)
        if not os.path.isdir(base):
            continue
        for name in sorted(os.listdir(base)):
            if not name.endswith((".cpp", ".h")):
                continue
            path = f"{folder}/{name}"
            own = floor_of(os.path.splitext(path)[0], floors)
            if own is None:
                reports.append(f"{path}: not placed on any floor")
                continue
            with open(os.path.join(ROOT, path), errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = floor_of(os.path.splitext(m.group(1))[0], floors)
                    if target is None:
                        reports.append(f"{path}:{number}: includes {m.group(1)}, which is on no floor")
                    elif target[0] > own[0]:
                        reports.append(f"{path}:{number}: {own[1]} includes {m.group(1)} ({target[1]})")
    for r in reports:
        print(r)
    return 1 if reports else 0


if __name__ == "__main__":
    sys.exit(main())
