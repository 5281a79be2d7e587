#!/usr/bin/env python3
"""Checks that the libraries use only the layers below them.

The layers, lowest first (a folder may always use itself):

  0  platform
  1  app (Log, Profile)
  2  app/update                       the update check: only ui may use it
  3  engine/volume
  4  engine/fat, engine/ntfs,         side by side, never each other; formats
     engine/exfat, engine/formats     holds the file-format recognisers
  5  engine/index
  6  engine/recovery, engine/search,  the jobs; surfacescan may use
     engine/surfacescan               recovery, no other sibling
  7  cli, ui

Two kinds of use are checked:

- Every `#include "..."` under engine/, app/, platform/, cli/ and ui/ is
  resolved (first against the including file's folder, then against the
  source root) and must name a file of the same folder or of a lower layer.
- Every target_link_libraries (and link_libraries) in the CMakeLists.txt and
  *.cmake files of those folders must name a library of the same folder or of
  a lower layer. The project's libraries are the add_library and
  add_executable targets (and their ALIAS names) defined there, each in the
  folder of the file that defines it. Keywords (PUBLIC, PRIVATE, ...) are
  skipped, variables set in those files are expanded, and generator
  expressions are opened down to the libraries they link. Anything else
  (Qt6::Widgets, PkgConfig::EWF, ...) is an external library and ignored,
  except a name starting with quarlix, which must be one of the libraries.

Prints each include or link that goes up or sideways, or that names nothing
of the tree, and exits 1 when there is any.

Usage: check-layers.py [SOURCE_ROOT]   (default: the parent of tools/)
"""

import os
import re
import sys

LAYERS = {
    "platform": 0,
    "app": 1,
    "app/update": 2,
    "engine/volume": 3,
    "engine/fat": 4,
    "engine/ntfs": 4,
    "engine/exfat": 4,
    "engine/formats": 4,
    "engine/index": 5,
    "engine/recovery": 6,
    "engine/search": 6,
    "engine/surfacescan": 6,
    "cli": 7,
    "ui": 7,
}

# Uses between folders of one layer that the picture allows.
SIDEWAYS_ALLOWED = {("engine/surfacescan", "engine/recovery")}

# Folders that only the named folders may use, whatever their layer.
ONLY_FOR = {"app/update": {"ui"}}

SCANNED = ("engine", "app", "platform", "cli", "ui")
SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".inl")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def folder_of(relpath):
    """The layer folder a root-relative file path belongs to (the deepest one), or None."""
    parts = relpath.split("/")
    for n in range(len(parts) - 1, 0, -1):
        key = "/".join(parts[:n])
        if key in LAYERS:
            return key
    return None


def judge(source, dest):
    """Why a use from folder source of folder dest breaks the layers, or None."""
    if dest == source:
        return None
    if dest in ONLY_FOR and source not in ONLY_FOR[dest]:
        return f"goes to {dest}, which only {', '.join(sorted(ONLY_FOR[dest]))} may use: {source} -> {dest}"
    up, down = LAYERS[source], LAYERS[dest]
    if down < up or (source, dest) in SIDEWAYS_ALLOWED:
        return None
    how = "up" if down > up else "sideways"
    return f"goes {how}: {source} ({up}) -> {dest} ({down})"


def layer_files(root, wanted):
    """(root-relative path, absolute path) of each file under the scanned folders that wanted(name) accepts."""
    for top in SCANNED:
        top_dir = os.path.join(root, top)
        if not os.path.isdir(top_dir):
            continue  # ui may be missing
        for dirpath, dirnames, filenames in os.walk(top_dir):
            dirnames.sort()
            for name in sorted(filenames):
                if wanted(name):
                    path = os.path.join(dirpath, name)
                    yield os.path.relpath(path, root).replace(os.sep, "/"), path


# ---- includes


def resolve(root, including_dir, target):
    """The root-relative path an include names, or None when it names no file."""
    for base in (including_dir, root):
        candidate = os.path.normpath(os.path.join(base, target))
        if os.path.isfile(candidate):
            rel = os.path.relpath(candidate, root)
            if not rel.startswith(".."):
                return rel.replace(os.sep, "/")
    return None


def check_includes(root, problems):
    files = includes = 0
    for rel, path in layer_files(root, lambda name: name.endswith(SOURCE_SUFFIXES)):
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
                resolved = resolve(root, os.path.dirname(path), target)
                if resolved is None:
                    problems.append(f'{where}: "{target}" names no file of the tree')
                    continue
                dest = folder_of(resolved)
                if dest is None:
                    problems.append(f'{where}: "{target}" ({resolved}) lies in no layer')
                    continue
                why = judge(source, dest)
                if why:
                    problems.append(f'{where}: "{target}" {why}')
    return files, includes


# ---- link lines

LINK_KEYWORDS = {"PUBLIC", "PRIVATE", "INTERFACE", "LINK_PUBLIC", "LINK_PRIVATE", "LINK_INTERFACE_LIBRARIES",
                 "debug", "optimized", "general"}
# Generator expressions whose value (after the colon) is what gets linked.
GENEX_PASS = {"LINK_ONLY", "BUILD_INTERFACE", "BUILD_LOCAL_INTERFACE", "INSTALL_INTERFACE", "COMPILE_ONLY",
              "TARGET_NAME", "TARGET_FILE", "TARGET_LINKER_FILE", "1"}
BRACKET_OPEN = re.compile(r"\[(=*)\[")
VARIABLE = re.compile(r"\$\{([A-Za-z0-9_.+-]+)\}")


def cmake_commands(text):
    """(command name lowered, [arguments], line) of each command call in a CMake file."""
    tokens = []  # (kind, value, line); kind is "(", ")" or "arg" / "word" (unquoted)
    i, line, n = 0, 1, len(text)
    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
            i += 1
        elif c.isspace():
            i += 1
        elif c == "#":
            m = BRACKET_OPEN.match(text, i + 1)
            end = text.find("]" + m.group(1) + "]", m.end()) if m else text.find("\n", i)
            end = n if end < 0 else end + (len(m.group(0)) if m else 0)
            line += text.count("\n", i, end)
            i = end
        elif c in "()":
            tokens.append((c, c, line))
            i += 1
        elif c == '"':
            j, value = i + 1, []
            while j < n and text[j] != '"':
                if text[j] == "\\" and j + 1 < n:
                    j += 1
                value.append(text[j])
                j += 1
            tokens.append(("arg", "".join(value), line))
            line += text.count("\n", i, j)
            i = j + 1
        elif BRACKET_OPEN.match(text, i):
            m = BRACKET_OPEN.match(text, i)
            end = text.find("]" + m.group(1) + "]", m.end())
            end = n if end < 0 else end
            tokens.append(("arg", text[m.end():end], line))
            line += text.count("\n", i, end)
            i = end + len(m.group(0))
        else:
            j = i
            while j < n and not text[j].isspace() and text[j] not in '()#"':
                j += 2 if text[j] == "\\" else 1
            tokens.append(("word", text[i:j], line))
            i = j
    calls, k = [], 0
    while k < len(tokens):
        kind, value, at = tokens[k]
        if kind == "word" and k + 1 < len(tokens) and tokens[k + 1][0] == "(":
            depth, args, k = 1, [], k + 2
            while k < len(tokens) and depth:
                t = tokens[k]
                depth += {"(": 1, ")": -1}.get(t[0], 0)
                if t[0] in ("arg", "word"):
                    args.append((t[1], t[2]))
                k += 1
            calls.append((value.lower(), args, at))
        else:
            k += 1
    return calls


def split_top(text, separators):
    """text split at the separators that lie outside generator expressions."""
    parts, depth, start, i = [], 0, 0, 0
    while i < len(text):
        if text.startswith("$<", i):
            depth += 1
            i += 2
            continue
        if text[i] == ">" and depth:
            depth -= 1
        elif text[i] in separators and not depth:
            parts.append(text[start:i])
            start = i + 1
        i += 1
    parts.append(text[start:])
    return parts


def genex_end(text, start):
    """The index of the '>' closing the generator expression that starts at text[start] ('$<')."""
    depth, i = 0, start
    while i < len(text):
        if text.startswith("$<", i):
            depth += 1
            i += 2
            continue
        if text[i] == ">":
            depth -= 1
            if not depth:
                return i
        i += 1
    return len(text)


def linked_names(item):
    """The library names a link item (a list, maybe with generator expressions) links."""
    names = []
    for element in split_top(item, ";"):
        element = element.strip()
        if "$<" not in element:
            if element:
                names.append(element)
            continue
        i = element.find("$<")
        while i >= 0:  # text around generator expressions is not a library name of its own
            end = genex_end(element, i)
            names.extend(genex_names(element[i + 2:end]))
            i = element.find("$<", end)
    return names


def genex_names(content):
    """The libraries a generator expression $<content> links."""
    head, colon, value = split_top(content, ":")[0], ":" in content, None
    if colon:
        value = content[len(head) + 1:]
    if value is None or head == "0":
        return []
    if head.startswith("$<") or head in GENEX_PASS:  # $<condition:libs>, $<LINK_ONLY:libs>, ...
        return linked_names(value)
    if head == "IF":
        branches = split_top(value, ",")
        return [n for b in branches[1:3] for n in linked_names(b)]
    if head in ("LINK_LIBRARY", "LINK_GROUP"):
        return [n for b in split_top(value, ",")[1:] for n in linked_names(b)]
    return []  # $<CONFIG:...>, $<BOOL:...>, ...: strings, not libraries


def expand(value, variables, depth=0):
    """value with the variables known from the scanned files put in; None when one is unknown."""
    if "${" not in value:
        return value
    if depth > 8:
        return None
    unknown = []

    def put(m):
        if m.group(1) not in variables:
            unknown.append(m.group(1))
            return ""
        return ";".join(variables[m.group(1)])

    out = VARIABLE.sub(put, value)
    if unknown or "${" in out and out == value:
        return None
    return expand(out, variables, depth + 1)


def check_links(root, problems):
    files = []
    for rel, path in layer_files(root, lambda name: name == "CMakeLists.txt" or name.endswith(".cmake")):
        with open(path, encoding="utf-8", errors="replace") as f:
            files.append((rel, cmake_commands(f.read())))

    # Variables, as far as the files set them (every value any file gives).
    variables = {}
    for rel, calls in files:
        for name, args, _ in calls:
            values = [a for a, _ in args]
            if name == "set" and values:
                rest = values[1:]
                for stop in ("CACHE", "PARENT_SCOPE"):
                    if stop in rest:
                        rest = rest[:rest.index(stop)]
                variables.setdefault(values[0], []).extend(rest)
            elif name == "list" and len(values) > 2 and values[0] == "APPEND":
                variables.setdefault(values[1], []).extend(values[2:])

    # The project's libraries and programs, by name, with their folders.
    targets = {}
    for rel, calls in files:
        for name, args, at in calls:
            if name not in ("add_library", "add_executable") or not args:
                continue
            target = expand(args[0][0], variables)
            words = [a for a, _ in args[1:]]
            if target is None or "IMPORTED" in words:
                continue
            if words[:1] == ["ALIAS"] and len(words) > 1:
                targets[target] = targets.get(words[1]) or folder_of(rel)
            else:
                targets[target] = folder_of(rel)
            if targets[target] is None:
                problems.append(f"{rel}:{at}: target {target} lies in no layer")
                del targets[target]

    links = 0
    for rel, calls in files:
        for name, args, at in calls:
            if name == "target_link_libraries" and args:
                owner = expand(args[0][0], variables)
                source = targets.get(owner) or folder_of(rel)
                items = args[1:]
            elif name == "link_libraries":
                source, items = folder_of(rel), args
            else:
                continue
            if source is None:
                problems.append(f"{rel}:{at}: {name} lies in no layer")
                continue
            for item, line in items:
                expanded = expand(item, variables)
                if expanded is None:
                    continue  # a variable set elsewhere: nothing of the project is known through it
                for lib in linked_names(expanded):
                    if lib in LINK_KEYWORDS:
                        continue
                    where = f"{rel}:{line}: link {lib}"
                    dest = targets.get(lib)
                    if dest is None:
                        if lib.lower().startswith("quarlix"):
                            problems.append(f"{where} names no library of the layers")
                        continue  # an external library
                    links += 1
                    why = judge(source, dest)
                    if why:
                        problems.append(f"{where} {why}")
    return len(files), links


def check(root):
    problems = []
    files, includes = check_includes(root, problems)
    cmake_files, links = check_links(root, problems)
    return files, includes, cmake_files, links, problems


def main(argv):
    root = os.path.abspath(argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    files, includes, cmake_files, links, problems = check(root)
    for p in problems:
        print(p)
    if problems:
        print(f"layers: {len(problems)} include(s) or link(s) against the layers")
        return 1
    print(f"layers: {includes} includes in {files} files and {links} links of the project's libraries in "
          f"{cmake_files} CMake files, all from the same folder or a layer below")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
