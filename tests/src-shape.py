#!/usr/bin/env python3
"""The source tree's shape: no file under src/ longer than 600 lines, no
class whose members are defined in two source files, and no header that
comes back to itself through what it includes.

  src-shape.py [ROOT]   the tree at ROOT (the script's own by default)
"""
import collections
import os
import re
import sys

LIMIT = 600
# "TLogView::Work(", "std::string TLogLines::TimesText(", "TLogLines::Position TLogLines::End(" at a line's start.
DEFINITION = re.compile(r"^(?:[\w:<>,*&]+\s+)*[*&]?(\w+)::~?\w+\s*\(")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def faults(root):
    src = os.path.join(root, "src")
    files = sorted(os.path.join(d, f) for d, _, names in os.walk(src) for f in names if f.endswith((".cpp", ".h")))
    found = []
    defined = collections.defaultdict(set)
    includes = {}
    for path in files:
        name = os.path.relpath(path, root)
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
        if len(lines) > LIMIT:
            found.append(f"{name}: {len(lines)} lines, more than {LIMIT}")
        for line in lines:
            m = DEFINITION.match(line)
            if m and path.endswith(".cpp") and m.group(1) != "std":
                defined[m.group(1)].add(name)
        # A quoted include is looked for beside the file, then in src/.
        here = []
        for line in lines:
            m = INCLUDE.match(line)
            if not m:
                continue
            for base in (os.path.dirname(path), src):
                target = os.path.normpath(os.path.join(base, m.group(1)))
                if os.path.exists(target):
                    here.append(target)
                    break
        includes[path] = here
    for cls, where in sorted(defined.items()):
        if len(where) > 1:
            found.append(f"{cls}: defined in {', '.join(sorted(where))}")
    # Depth-first through the includes: a header met again on its own path is a circle.
    state = {}

    def visit(path, trail):
        state[path] = "open"
        for target in includes.get(path, []):
            if state.get(target) == "open":
                circle = trail[trail.index(target):] + [target]
                found.append("a circle: " + " -> ".join(os.path.relpath(p, root) for p in circle))
            elif target not in state:
                visit(target, trail + [target])
        state[path] = "done"

    for path in files:
        if path not in state:
            visit(path, [path])
    return found


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    found = faults(root)
    for line in found:
        print("src-shape: " + line)
    print(f"src-shape: {len(found)} faults")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
