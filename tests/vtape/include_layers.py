#!/usr/bin/env python3
"""Fails on an include cycle among vtape's files, or on an include that goes
up the layers of its preload library, so that they keep their one direction.

A file and its header count as one unit (tape.cc and tape.h are "tape"): a
.cc that includes a header whose unit includes the .cc's own header closes a
cycle as surely as two headers would.

Usage: include_layers.py VTAPE_DIR
"""

import pathlib
import re
import sys

# The preload's layer folders, top to bottom: each includes only from the
# layers below it.
LAYERS = ["entry", "names", "scsi", "descriptors", "st", "image", "library", "core"]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def unit(path, root):
    return path.relative_to(root).with_suffix("").as_posix()


def layer(name):
    """The preload layer folder a unit is in, or None."""
    parts = name.split("/")
    return parts[1] if len(parts) > 2 and parts[0] == "preload" else None


def graph(root):
    """Edges between units, each with the file whose include makes it."""
    edges = {}
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".cc", ".h"):
            continue
        source = unit(path, root)
        for name in INCLUDE.findall(path.read_text(encoding="utf-8")):
            for base in (path.parent, root):
                target = (base / name).resolve()
                if target.is_file() and root in target.parents:
                    included = unit(target, root)
                    if included != source:
                        edges.setdefault(source, {})[included] = path.relative_to(root).as_posix()
                    break
    return edges


def find_cycle(edges):
    """One cycle as a list of nodes, or None."""
    state = {}

    def visit(node, trail):
        state[node] = "open"
        trail.append(node)
        for nxt in sorted(edges.get(node, {})):
            if state.get(nxt) == "open":
                return trail[trail.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt, trail)
                if found:
                    return found
        trail.pop()
        state[node] = "done"
        return None

    for node in sorted(edges):
        if node not in state:
            found = visit(node, [])
            if found:
                return found
    return None


def upward(edges):
    """Includes from a layer folder into one above it, or into a folder
    that has no place among the layers."""
    found = []
    for source, targets in sorted(edges.items()):
        for target, via in sorted(targets.items()):
            a, b = layer(source), layer(target)
            if a and b and a != b and (a not in LAYERS or b not in LAYERS or LAYERS.index(a) > LAYERS.index(b)):
                found.append(f"{via} includes {target} ({a} -> {b})")
    return found


def report(kind, cycle, edges):
    print(f"include cycle among {kind}: " + " -> ".join(cycle))
    for a, b in zip(cycle, cycle[1:]):
        print(f"  {a} -> {b}: {edges[a][b]}")


def main():
    root = pathlib.Path(sys.argv[1]).resolve()
    edges = graph(root)
    failed = False
    cycle = find_cycle(edges)
    if cycle:
        report("vtape's files", cycle, edges)
        failed = True
    for line in upward(edges):
        print(f"include against the layers ({' > '.join(LAYERS)}): {line}")
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
