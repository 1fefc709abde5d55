#!/usr/bin/env python3
"""Rejects an #include that points up the layer stack.

Layers, lowest first: platform, trace, framework, engine, filter, server.
A file in src/<layer> may include headers of its own layer and of layers
below it; platform/ may include nothing from src/.

Inside the runtime (platform/quicktime), includes name the folder
("container/MovieModel.h"), and each folder may not reach some others:
the container reader knows nothing of pictures, sound or the exported
toolbox; the pixel layer nothing of decoders, sound or the toolbox; the
decoders nothing of the toolbox; each decoding back end nothing of the
toolbox or of the other back end.
"""
import pathlib
import re
import sys

LAYERS = ["trace", "framework", "engine", "filter", "server"]
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]')


def rank_of_include(path):
    head = path.split("/", 1)[0]
    return LAYERS.index(head) + 1 if head in LAYERS and "/" in path else None


RUNTIME = "platform/quicktime"
RUNTIME_FORBIDDEN = {
    "container": {"pixels", "sound", "toolbox", "ffmpeg", "windows"},
    "pixels": {"codecs", "sound", "toolbox", "ffmpeg", "windows"},
    "codecs": {"toolbox", "ffmpeg", "windows"},
    "sound": {"pixels", "ffmpeg", "windows"},
    "toolbox": {"ffmpeg", "windows"},
    "ffmpeg": {"toolbox", "windows"},
    "windows": {"toolbox", "ffmpeg"},
}


def runtime_violation(rel, include):
    """The reason a runtime file may not include `include`, or None."""
    parts = rel.split("/")
    if rel.startswith(RUNTIME + "/") and len(parts) > 3:
        folder = parts[2]
    else:
        return None
    target = include.split("/", 1)[0] if "/" in include else None
    if target in RUNTIME_FORBIDDEN.get(folder, ()):
        return f"{folder}/ may not include {target}/"
    return None


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
            rel = path.relative_to(root).as_posix()
            target = rank_of_include(m.group(1))
            if target is not None and target > rank:
                bad.append(f"{rel}:{n}: includes {m.group(1)} from a higher layer")
            why = runtime_violation(rel, m.group(1))
            if why:
                bad.append(f"{rel}:{n}: includes {m.group(1)}: {why}")
    for b in bad:
        print(b)
    print(f"{len(sources)} files checked, {len(bad)} upward includes")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
