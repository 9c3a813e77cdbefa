#!/usr/bin/env python3
"""Holds the code to its one direction of dependencies.

    platform/  <-  updater/  <-  launcher/  <-  programs/

A file may include its own layer and the layers below it, never one above. The release tools
build on the updater alone, and the updater's and the platform's tests on no launcher code.
Across every folder of the tree (launcher/feeds, launcher/common, ...) the graph of which folder
includes which has no cycle. Prints each breach and exits 1; exits 0 when there is none.

Usage: check_layers.py [SOURCE_DIR]
"""
import os
import re
import subprocess
import sys

LAYERS = {"platform": 0, "updater": 1, "launcher": 2, "programs": 3}
# What else each top folder may include, beyond its own files.
ALLOWED = {
    "tools": {"platform", "updater", "tools"},
    "tests/updater": {"platform", "updater", "tests"},
    "tests/platform": {"platform", "tests"},
}
SOURCES = (".c", ".cc", ".cpp", ".h", ".hpp", ".inc", ".def")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def tracked_sources(root):
    out = subprocess.run(["git", "-C", root, "ls-files"], capture_output=True, text=True,
                         check=True).stdout.split()
    return [f for f in out if f.endswith(SOURCES) and "/corpus/" not in f]


def owner(path):
    """The rule set a file follows: the longest ALLOWED key it lies in, or its top folder."""
    for key in sorted(ALLOWED, key=len, reverse=True):
        if path.startswith(key + "/"):
            return key
    return path.split("/", 1)[0]


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    files = tracked_sources(root)
    ours = {f.split("/", 1)[0] for f in files}
    problems = []
    edges = {}
    for path in files:
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as source:
            text = source.read()
        rules = owner(path)
        for included in INCLUDE.findall(text):
            top = included.split("/", 1)[0]
            if top not in ours or "/" not in included:
                continue  # a system, library or generated header
            if rules in ALLOWED:
                ok = top in ALLOWED[rules] and not included.startswith("tests/support/launcher/")
            elif rules in LAYERS and top in LAYERS:
                ok = LAYERS[top] <= LAYERS[rules]
            else:
                ok = rules not in LAYERS  # tests, bench, demo may use every layer
            if not ok:
                problems.append(f"{path}: includes {included}, above its own layer")
            here, there = os.path.dirname(path), os.path.dirname(included)
            if here != there:
                edges.setdefault(here, set()).add(there)

    # Folder cycles, by depth-first search with the path so far.
    state = {}

    def visit(folder, trail):
        state[folder] = "open"
        for nxt in sorted(edges.get(folder, ())):
            if state.get(nxt) == "open":
                cycle = trail[trail.index(nxt):] + [nxt]
                problems.append("folders include each other: " + " -> ".join(cycle))
            elif nxt not in state:
                visit(nxt, trail + [nxt])
        state[folder] = "done"

    for folder in sorted(edges):
        if folder not in state:
            visit(folder, [folder])

    for problem in problems:
        print(problem)
    if problems:
        return 1
    print(f"layers: {len(files)} files, {sum(len(v) for v in edges.values())} folder links, "
          "no include against the direction and no folder cycle")
    return 0


if __name__ == "__main__":
    sys.exit(main())
