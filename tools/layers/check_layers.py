#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer it must not see.

Dependencies point one way: each engine layer sees only the layers below it, code
outside the engine sees the engine only through its interface header, and nothing
below the front ends sees a front end. The table below is the whole rule; the build
runs this check, so an upward include fails the build before it can link.
"""
import os
import re
import sys

INTERFACE = "engine/api/BrisklaneEngine.h"

# layer -> the layers its files may include (a layer always sees itself).
ENGINE = {
    "engine/core": ["platform"],
    "engine/bencode": ["platform", "engine/core"],
    "engine/net": ["platform", "engine/core"],
    "engine/piece": ["platform", "engine/core", "engine/bencode", "engine/net"],
    "engine/peer": ["platform", "engine/core", "engine/bencode", "engine/net", "engine/piece"],
    "engine/udp": ["platform", "engine/core", "engine/bencode", "engine/net", "engine/piece"],
    "engine/task": ["platform", "engine/core", "engine/bencode", "engine/net", "engine/piece", "engine/peer",
                    "engine/udp"],
    "engine/api": ["platform", "engine/core", "engine/bencode", "engine/net", "engine/piece", "engine/peer",
                   "engine/udp", "engine/task"],
}
OUTSIDE = {
    "platform": [],
    "res": ["platform", INTERFACE],
    "stats": ["platform", INTERFACE],
    "app": ["platform", "res", "stats", INTERFACE],
    "ui/console": ["platform", "app", INTERFACE],
    "ui/window": ["platform", "app", INTERFACE],
}
# Tools, tests, fuzz targets and benchmarks look inside whatever they build or measure.
UNCHECKED = ("tools", "tests", "fuzz", "bench")

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
SOURCES = (".h", ".hpp", ".cpp", ".cc")


def layer_of(path, layers):
    best = None
    for layer in layers:
        if path == layer or path.startswith(layer + "/"):
            if best is None or len(layer) > len(best):
                best = layer
    return best


def allowed(source_layer, target, rules):
    if target == INTERFACE and INTERFACE in rules[source_layer]:
        return True
    for layer in [source_layer] + [r for r in rules[source_layer] if r != INTERFACE]:
        if target.startswith(layer + "/"):
            return True
    return False


def main(root):
    rules = dict(ENGINE)
    rules.update(OUTSIDE)
    known = list(rules) + ["engine", "ui"]
    faults = []
    for base, dirs, files in os.walk(root):
        rel_base = os.path.relpath(base, root)
        if rel_base == ".":
            dirs[:] = [d for d in dirs if not d.startswith(".") and d != "build" and d not in UNCHECKED]
            continue
        for name in files:
            if not name.endswith(SOURCES):
                continue
            rel = os.path.join(rel_base, name).replace(os.sep, "/")
            source_layer = layer_of(rel, rules)
            if source_layer is None:
                faults.append(f"{rel}: in no layer of the table")
                continue
            with open(os.path.join(root, rel), encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = m.group(1)
                    if layer_of(target, known) is None:
                        continue  # a header beside the file, or a library's
                    if not allowed(source_layer, target, rules):
                        faults.append(f"{rel}:{number}: {source_layer} must not include {target}")
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} include(s) against the layering", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")))
