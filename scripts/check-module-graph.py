#!/usr/bin/env python3
"""Checks that the modules of engine/ include each other without a cycle.

A module is a name with engine/NAME.cpp or engine/NAME.h; it depends on every other module whose
header its .cpp or .h includes ("engine/OTHER.h"). The script prints the modules from the bottom
up, each with what it includes, and exits 0; when the includes form a cycle it names every group
of modules that reach each other and exits 1.

    scripts/check-module-graph.py [--root DIR] [--quiet]
"""

import argparse
import re
import sys
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s+"engine/([A-Za-z0-9_]+)\.h"', re.M)


def module_graph(engine):
    """{module: set of modules it includes} for every module of the folder."""
    graph = {}
    for path in sorted(engine.glob("*.cpp")) + sorted(engine.glob("*.h")):
        name = path.stem
        deps = graph.setdefault(name, set())
        for other in INCLUDE.findall(path.read_text()):
            if other != name:
                deps.add(other)
    for deps in list(graph.values()):
        for other in deps:
            graph.setdefault(other, set())
    return graph


def cycles(graph):
    """The groups of two or more modules that reach each other (Tarjan's strongly connected
    components), each sorted."""
    index, low, on_stack, stack, groups = {}, {}, set(), [], []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph[v]):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                group.append(w)
                if w == v:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return groups


def layers(graph):
    """Modules from the bottom up: each after everything it includes (a DAG only)."""
    order, placed = [], set()
    while len(placed) < len(graph):
        ready = sorted(v for v in graph if v not in placed and graph[v] <= placed)
        if not ready:
            raise SystemExit("module graph: a cycle was not reported")
        order.append(ready)
        placed.update(ready)
    return order


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--root", type=Path, default=Path(__file__).resolve().parent.parent,
                   help="the repository (default: the one this script is in)")
    p.add_argument("--quiet", action="store_true", help="print only a cycle")
    args = p.parse_args(argv)
    graph = module_graph(args.root / "engine")
    found = cycles(graph)
    if found:
        for group in found:
            edges = [f"{a} -> {b}" for a in group for b in sorted(graph[a]) if b in group]
            print(f"module graph: cycle among {', '.join(group)}: {'; '.join(edges)}")
        return 1
    if not args.quiet:
        for level, names in enumerate(layers(graph)):
            for name in names:
                deps = ", ".join(sorted(graph[name])) or "-"
                print(f"layer {level}: {name} <- {deps}")
    print(f"module graph: {len(graph)} modules of engine/, no cycle")
    return 0


if __name__ == "__main__":
    sys.exit(main())
