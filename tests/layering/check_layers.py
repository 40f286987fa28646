#!/usr/bin/env python3
"""Checks the kit's layering: every source file includes only headers of the folders its folder's
README allows.

Each folder with sources has a README.md (its own, or the nearest one above it) with one line

    **May include:** `image/`, `platform/`

naming the folders whose headers its files may include besides their own folder and the folders below
the README's own (a room may use its inner rooms). "**May include:** nothing" allows none. Includes
that name no header of the kit (the standard library, Qt, libusb, generated headers) are not checked.

Usage: check_layers.py SOURCE_DIR [--graph]. Exit status 1 names every file that crosses a rule."""

import os
import re
import sys

SKIP = {"build", "dist", "tests", ".git", ".library"}
SOURCE = (".cpp", ".h", ".c")
RULE = re.compile(r"^\*\*May include:\*\*(.*)$", re.M)
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def sources(root):
    for top, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in SKIP and not d.startswith("."))
        for name in sorted(files):
            if name.endswith(SOURCE):
                yield os.path.relpath(os.path.join(top, name), root)


def folder_of(path):
    return os.path.dirname(path) or "."


def within(folder, room):
    return folder == room or folder.startswith(room + "/")


def rule_for(root, folder, cache):
    """(the README's folder, the allowed folders) of the nearest README with a rule, or None."""
    if folder in cache:
        return cache[folder]
    readme = os.path.join(root, folder, "README.md")
    found = None
    if os.path.isfile(readme):
        with open(readme, encoding="utf-8") as f:
            m = RULE.search(f.read())
        if m:
            allowed = {item.strip("/") for item in re.findall(r"`([^`]+)`", m.group(1))}
            found = (folder, allowed)
    if found is None and folder not in (".", ""):
        found = rule_for(root, folder_of(folder), cache)
    cache[folder] = found
    return found


def main(argv):
    root = os.path.abspath(argv[1] if len(argv) > 1 else ".")
    files = list(sources(root))
    headers = {}
    for path in files:
        if path.endswith(".h"):
            headers.setdefault(os.path.basename(path), []).append(folder_of(path))
    cache, problems, graph = {}, [], {}
    for path in files:
        folder = folder_of(path)
        rule = rule_for(root, folder, cache)
        if rule is None:
            problems.append(f"{path}: no README.md at or above {folder}/ says what it may include")
        room, allowed = rule or (folder, set())
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            text = f.read()
        for name in INCLUDE.findall(text):
            homes = headers.get(os.path.basename(name))
            if not homes:
                continue  # not one of the kit's headers
            if folder in homes:
                homes = [folder]  # a quoted include looks beside the including file first
            elif "/" in name:
                homes = [h for h in homes if (h + "/" + os.path.basename(name)).endswith(name)] or homes
            ok = [h for h in homes if within(h, room) or h in allowed]
            for h in homes:
                graph.setdefault(folder, set()).add(h)
            if not ok and rule is not None:
                where = " or ".join(f"{h}/" for h in homes)
                said = ", ".join(f"{a}/" for a in sorted(allowed)) or "nothing"
                problems.append(f'{path} includes "{name}" from {where}, but {room}/README.md allows only '
                                f"its own folders and {said}")
    if "--graph" in argv:
        for folder in sorted(graph):
            print(f"{folder}/ -> " + ", ".join(sorted(f"{h}/" for h in graph[folder] if h != folder)))
    for p in problems:
        print(p)
    if problems:
        print(f"{len(problems)} include(s) cross the layering")
        return 1
    print(f"layering: {len(files)} source files, every include allowed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
