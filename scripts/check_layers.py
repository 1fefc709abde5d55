#!/usr/bin/env python3
"""Rejects an #include that points up the layer stack.

Layers, lowest first: platform, trace, framework, engine, filter, server.
A file in src/<layer> may include headers of its own layer and of layers
below it; platform/ may include nothing from src/.
"""
import pathlib
import re
import sys

LAYERS = ["trace", "framework", "engine", "filter", "server"]
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]')


def rank_of_include(path):
    head = path.split("/", 1)[0]
    return LAYERS.index(head) + 1 if head in LAYERS and "/" in path else None


def main(root):
    root = pathlib.Path(root)
    bad = []
    sources = [(p, 0) for p in (root / "platform").rglob("*") if p.suffix in (".h", ".cpp", ".c")]
    for i, layer in enumerate(LAYERS, start=1):
        sources += [(p, i) for p in (root / "src" / layer).rglob("*") if p.suffix in (".h", ".cpp", ".c")]
    for path, rank in sources:
        for n, line in enumerate(path.read_text(errors="replace").splitlines(), start=1):
            m = INCLUDE.match(line)
            if not m:
                continue
            target = rank_of_include(m.group(1))
            if target is not None and target > rank:
                bad.append(f"{path.relative_to(root)}:{n}: includes {m.group(1)} from a higher layer")
    for b in bad:
        print(b)
    print(f"{len(sources)} files checked, {len(bad)} upward includes")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
