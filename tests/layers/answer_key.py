#!/usr/bin/python3
"""Photoshop's own composites as the answer key for drawing layers.

Each layered file Photoshop wrote keeps Photoshop's merged picture. The file is changed as a file
saved without that picture is: the "has real merged data" byte of image resource 1057 cleared and
the merged image replaced by white. vekhost decodes both; the layers drawn by the library must show
what the original merged picture shows, on the plug-in's checkerboard: 99 % of the pixels within 6
levels. Files listed in not_matching.tsv are drawn with features the library does not draw (layer
effects, an adjustment it only approximates); they are graded and reported, not failed.

  answer_key.py VEKHOST PHOTOSHOP_DIR WORKDIR
"""
import os
import struct
import subprocess
import sys

import numpy as np
from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))


def without_merged_picture(data):
    """The file as saved without a merged picture: 1057's byte 4 cleared, the merged image white."""
    d = bytearray(data)
    version = struct.unpack(">H", d[4:6])[0]
    channels = struct.unpack(">H", d[12:14])[0]
    height, width = struct.unpack(">II", d[14:22])
    depth = struct.unpack(">H", d[22:24])[0]
    pos = 26
    pos += 4 + struct.unpack(">I", d[pos:pos + 4])[0]  # colour mode data
    start = pos + 4
    end = start + struct.unpack(">I", d[pos:pos + 4])[0]
    p = start
    while p + 12 <= end:
        rid = struct.unpack(">H", d[p + 4:p + 6])[0]
        name = d[p + 6]
        q = p + 6 + 1 + name + ((name + 1) % 2)
        size = struct.unpack(">I", d[q:q + 4])[0]
        q += 4
        if rid == 1057 and size >= 5:
            d[q + 4] = 0
        p = q + size + (size % 2)
    pos = end
    if version == 2:
        pos += 8 + struct.unpack(">Q", d[pos:pos + 8])[0]
    else:
        pos += 4 + struct.unpack(">I", d[pos:pos + 4])[0]
    white = {8: b"\xff", 16: b"\xff\xff", 32: struct.pack(">f", 1.0)}[depth]
    return bytes(d[:pos]) + b"\x00\x00" + white * (width * height * channels)


def displayed(vekhost, path, out):
    r = subprocess.run([vekhost, "--quiet", "decode", path, "-o", out], capture_output=True, text=True)
    if r.returncode != 0:
        return None
    return np.asarray(Image.open(out).convert("RGB")).astype(int)


def grade(a, b):
    diff = np.abs(a - b).max(axis=2)
    return (diff <= 6).mean() * 100, np.abs(a - b).mean()


def listed(table):
    """A table of this folder: file name, tab, the reason it is listed."""
    reasons = {}
    for line in open(os.path.join(HERE, table)):
        if line.strip() and not line.startswith("#"):
            name, reason = line.rstrip("\n").split("\t", 1)
            reasons[name] = reason
    return reasons


def photoshop_files(root):
    """The answer key's files, as its FILES lists them."""
    return [line.strip() for line in open(os.path.join(root, "FILES")) if line.strip()]


def main():
    vekhost, root, work = sys.argv[1:4]
    if not os.path.isdir(root):
        print(f"answer key: {root} is not here; skipped")
        return 77
    os.makedirs(work, exist_ok=True)
    expected = listed("not_matching.tsv")
    names = photoshop_files(root)
    failures, matched = [], 0
    print(f"{'file':58s} {'grade':>7s} {'mean':>6s}")
    for name in names:
        source = os.path.join(root, name)
        stripped = os.path.join(work, name.replace("/", "_"))
        with open(source, "rb") as f, open(stripped, "wb") as out:
            out.write(without_merged_picture(f.read()))
        key = displayed(vekhost, source, stripped + ".key.bmp")
        drawn = displayed(vekhost, stripped, stripped + ".drawn.bmp")
        if key is None or drawn is None or key.shape != drawn.shape:
            print(f"{name:58s} not decoded")
            failures.append(name)
            continue
        within, mean = grade(key, drawn)
        ok = within >= 99
        matched += ok
        note = ""
        if name in expected:
            note = "  (listed: " + expected[name] + ")" + ("; now matches" if ok else "")
        elif not ok:
            failures.append(name)
        print(f"{name:58s} {within:6.2f}% {mean:6.2f}{note}")
    print(f"{matched} of {len(names)} match Photoshop's own composite; {len(expected)} listed as not drawn")
    for name in failures:
        print(f"FAIL {name}: does not match Photoshop's composite and is not listed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
