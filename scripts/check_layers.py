#!/usr/bin/env python3
"""Checks that every #include between the library's folders points down.

The layers, top to bottom, are listed in LAYERS; folders on one row are
siblings and include nothing of each other. The programs (driver/, scan/)
reach the readers (zip/, xml/, pe/) only through component/. tests/, bench/ and examples/
stand outside the layers and may include any of them. Also reports include
cycles between files. Exits 1 with a line per violation, 0 when clean.
"""
import re
import subprocess
import sys

LAYERS = [
    {"driver", "scan"},
    {"release"},
    {"report"},
    {"gate"},
    {"component"},
    {"zip", "xml", "pe"},
    {"crypto"},
    {"platform"},
    {"util"},
]
RANK = {folder: rank for rank, row in enumerate(LAYERS) for folder in row}
# Arrows that point down but skip the layer that stands between: the
# programs reach the readers only through the inspection.
ABOVE_COMPONENT = ("driver", "scan", "release", "report", "gate")
FORBIDDEN = {(program, reader) for program in ABOVE_COMPONENT for reader in ("zip", "xml", "pe")}
# Files a folder may not include although they lie below it: formats know no
# manifest.
FORBIDDEN_FILES = {("report", "gate/manifest_check.h")}
# No folder holds more of the code (its sources, without tests and fuzz
# targets) than this share.
MAX_SHARE = 0.25
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main():
    files = subprocess.run(["git", "ls-files", "*.h", "*.cpp"], capture_output=True, text=True,
                           check=True).stdout.split()
    problems = []
    graph = {}
    for path in files:
        folder = path.split("/")[0]
        with open(path, encoding="utf-8") as f:
            targets = INCLUDE.findall(f.read())
        graph[path] = [t for t in targets if t in files]
        if folder not in RANK:
            continue
        for target in targets:
            other = target.split("/")[0]
            if other == folder or other not in RANK:
                if other in ("tests", "bench", "examples") and not path.endswith("_test.cpp"):
                    problems.append(f"{path}: includes {target}, which only tests may use")
                continue
            if RANK[other] <= RANK[folder]:
                problems.append(f"{path}: includes {target} from a layer at or above {folder}/")
            elif (folder, other) in FORBIDDEN:
                problems.append(f"{path}: includes {target}; {folder}/ reaches {other}/ only "
                                "through component/")
            elif (folder, target) in FORBIDDEN_FILES:
                problems.append(f"{path}: includes {target}, which {folder}/ must not know")

    # Cycles between files, by depth-first search.
    state = {}

    def visit(node, stack):
        state[node] = "open"
        stack.append(node)
        for nxt in graph.get(node, []):
            if state.get(nxt) == "open":
                problems.append("include cycle: " + " -> ".join(stack[stack.index(nxt):] + [nxt]))
            elif nxt not in state:
                visit(nxt, stack)
        stack.pop()
        state[node] = "done"

    for node in graph:
        if node not in state:
            visit(node, [])
    lines = {}
    for path in files:
        folder = path.split("/")[0]
        if folder in RANK and not path.endswith(("_test.cpp", "_fuzz.cpp")):
            with open(path, encoding="utf-8") as f:
                lines[folder] = lines.get(folder, 0) + sum(1 for _ in f)
    total = sum(lines.values())
    for folder, count in sorted(lines.items()):
        if count > MAX_SHARE * total:
            problems.append(f"{folder}/ holds {count} of {total} lines of code, more than a quarter")

    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
