#!/usr/bin/env python3
"""Checks that the libraries include only from the layers below them.

The layers, lowest first (a folder may always include from itself):

  0  platform
  1  app (Log, Profile)
  2  engine/volume
  3  engine/fat, engine/ntfs          side by side, never each other
  4  engine/index
  5  engine/recovery, engine/search,  the jobs; surfacescan may include
     engine/surfacescan               recovery, no other sibling
  6  cli, ui

Every `#include "..."` under engine/, app/, platform/, cli/ and ui/ is
resolved (first against the including file's folder, then against the
source root) and must name a file of the same folder or of a lower layer.
Prints each include that goes up or sideways, or that names no file of the
tree, and exits 1 when there is any.

Usage: check-layers.py [SOURCE_ROOT]   (default: the parent of tools/)
"""

import os
import re
import sys

LAYERS = {
    "platform": 0,
    "app": 1,
    "engine/volume": 2,
    "engine/fat": 3,
    "engine/ntfs": 3,
    "engine/index": 4,
    "engine/recovery": 5,
    "engine/search": 5,
    "engine/surfacescan": 5,
    "cli": 6,
    "ui": 6,
}

# Includes between folders of one layer that the picture allows.
SIDEWAYS_ALLOWED = {("engine/surfacescan", "engine/recovery")}

SCANNED = ("engine", "app", "platform", "cli", "ui")
SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".inl")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def folder_of(relpath):
    """The layer folder a root-relative path belongs to, or None."""
    parts = relpath.split("/")
    if parts[0] == "engine" and len(parts) > 2:
        key = "engine/" + parts[1]
    else:
        key = parts[0]
    return key if key in LAYERS else None


def resolve(root, including_dir, target):
    """The root-relative path an include names, or None when it names no file."""
    for base in (including_dir, root):
        candidate = os.path.normpath(os.path.join(base, target))
        if os.path.isfile(candidate):
            rel = os.path.relpath(candidate, root)
            if not rel.startswith(".."):
                return rel.replace(os.sep, "/")
    return None


def check(root):
    problems = []
    files = 0
    includes = 0
    for top in SCANNED:
        top_dir = os.path.join(root, top)
        if not os.path.isdir(top_dir):
            continue  # ui may not exist yet
        for dirpath, dirnames, filenames in os.walk(top_dir):
            dirnames.sort()
            for name in sorted(filenames):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.join(dirpath, name)
                rel = os.path.relpath(path, root).replace(os.sep, "/")
                source = folder_of(rel)
                if source is None:
                    problems.append(f"{rel}: lies in no layer")
                    continue
                files += 1
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        includes += 1
                        target = m.group(1)
                        where = f"{rel}:{number}"
                        resolved = resolve(root, dirpath, target)
                        if resolved is None:
                            problems.append(f'{where}: "{target}" names no file of the tree')
                            continue
                        dest = folder_of(resolved)
                        if dest == source:
                            continue
                        if dest is None:
                            problems.append(f'{where}: "{target}" ({resolved}) lies in no layer')
                            continue
                        up, down = LAYERS[source], LAYERS[dest]
                        if down < up or (source, dest) in SIDEWAYS_ALLOWED:
                            continue
                        how = "up" if down > up else "sideways"
                        problems.append(f'{where}: "{target}" goes {how}: {source} ({up}) -> {dest} ({down})')
    return files, includes, problems


def main(argv):
    root = os.path.abspath(argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    files, includes, problems = check(root)
    for p in problems:
        print(p)
    if problems:
        print(f"layers: {len(problems)} include(s) against the layers in {files} files")
        return 1
    print(f"layers: {includes} includes in {files} files, all from the same folder or a layer below")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
