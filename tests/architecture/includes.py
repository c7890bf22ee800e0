#!/usr/bin/python3
"""Who may include whom: each folder of the tree includes only its own headers and those of the
layers below it (docs/architecture.md draws the same table). Every #include "..." of the product's
sources is checked; one that reaches up fails, naming the file and the line.

  includes.py SOURCE_DIR
"""
import os
import re
import sys

# Bottom to top. A folder may include its own layer and every layer listed before it, except
# where `allowed` narrows it: the plug-in side never sees the library's insides.
LAYERS = [
    ("support", "small headers both sides use: the processor's vector instructions, huge pages"),
    ("imagelib", "vek.h: the one contract between the plug-in and the library"),
    ("libvek/base", "bytes and checked arithmetic, the library's caps"),
    ("libvek/system", "the operating system: file mapping, the lock, memory, worker threads"),
    ("libvek/core", "images, bitmaps, conversion, the registry of live objects"),
    ("libvek/colour", "colour descriptions and transforms"),
    ("libvek/formats", "the readers, one a format, and the table of formats"),
    ("libvek/pipeline", "open, query, load and colour conversion, above the readers"),
    ("libvek", "the entry points and the DLL notification"),
    ("platform", "the plug-in's operating-system seam"),
    ("imaging", "platform-free pixel work: the checkerboard"),
    ("plugin", "the plug-in's exports and records"),
    ("host", "vekhost"),
]
ALLOWED = {  # layers a folder may include beyond its own, where not simply everything below
    "platform": {"support"},
    "imaging": {"support"},
    "plugin": {"support", "imagelib", "platform", "imaging"},
    "host": {"support", "imagelib", "platform", "plugin"},
}


def layer_of(path):
    best = None
    for name, _ in LAYERS:
        if path == name or path.startswith(name + "/"):
            if best is None or len(name) > len(best):
                best = name
    return best


def main():
    root = sys.argv[1]
    names = [n for n, _ in LAYERS]
    failures = 0
    for name in names:
        folder = os.path.join(root, name)
        for dirpath, _, files in os.walk(folder):
            for f in files:
                if not f.endswith((".h", ".cpp")):
                    continue
                path = os.path.relpath(os.path.join(dirpath, f), root)
                own = layer_of(path)
                if own != name:
                    continue  # a deeper layer's file, checked as its own
                below = ALLOWED.get(own, set(names[:names.index(own)]))
                for number, line in enumerate(open(os.path.join(dirpath, f), encoding="utf-8"), 1):
                    m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
                    if not m:
                        continue
                    target = layer_of(m.group(1))
                    if target is None or target == own or target in below:
                        continue
                    print(f"FAIL {path}:{number}: {own} includes {m.group(1)} ({target} is not below it)")
                    failures += 1
    print(f"{failures} includes reach up" if failures else "every include points down or sideways within its layer")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
