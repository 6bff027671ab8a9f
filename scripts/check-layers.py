#!/usr/bin/env python3
"""Fails when a source file includes a header from a layer above its own.

Usage: check-layers.py SOURCE_DIR RULE...
Each RULE is folder=allowed,allowed,... (cmake/layers.cmake keeps them, in
TESSEL_LAYER_RULES): the files under SOURCE_DIR/folder/ may include headers
from the listed folders only. tests/<folder>/ is checked with <folder>'s rule.
An include is placed by the file it names: first next to the including file,
then under SOURCE_DIR; one that names no file of a ruled folder (a system
header, a test helper found through an include path) is not checked.
Every offending line is printed as path:line; the exit status is 1 if any.
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
SOURCE_SUFFIXES = (".h", ".hpp", ".c", ".cc", ".cpp", ".inc")


def folder_of(relative, rules):
    """The ruled folder a repository path belongs to, or None."""
    parts = relative.replace(os.sep, "/").split("/")
    if parts[0] == "tests" and len(parts) > 2:
        parts = parts[1:]
    return parts[0] if len(parts) > 1 and parts[0] in rules else None


def included_path(root, including, name, quoted):
    """Repository path of the file an include names, or None."""
    candidates = [os.path.join(root, name)]
    if quoted:
        candidates.insert(0, os.path.join(os.path.dirname(including), name))
    for candidate in candidates:
        if os.path.isfile(candidate):
            return os.path.relpath(os.path.normpath(candidate), root)
    return None


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    root = os.path.abspath(sys.argv[1])
    rules = {}
    for rule in sys.argv[2:]:
        folder, _, allowed = rule.partition("=")
        rules[folder] = set(allowed.split(","))

    problems = 0
    checked = 0
    for top in sorted(set(rules) | {"tests"}):
        for directory, subdirs, files in os.walk(os.path.join(root, top)):
            subdirs.sort()
            for file in sorted(files):
                if not file.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.join(directory, file)
                relative = os.path.relpath(path, root)
                own = folder_of(relative, rules)
                if own is None:
                    continue
                checked += 1
                with open(path, encoding="utf-8", errors="replace") as source:
                    for number, line in enumerate(source, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        target = included_path(root, path, match.group(2), match.group(1) == '"')
                        layer = folder_of(target, rules) if target else None
                        if layer is None or layer in rules[own]:
                            continue
                        problems += 1
                        print(f"{relative}:{number}: the {own} layer includes {match.group(2)} "
                              f"from the {layer} layer (allowed: {', '.join(sorted(rules[own]))})")
    if problems:
        print(f"check-layers: {problems} include(s) against the layer order (cmake/layers.cmake)")
        return 1
    print(f"check-layers: {checked} files, every include points down the layer order")
    return 0


if __name__ == "__main__":
    sys.exit(main())
