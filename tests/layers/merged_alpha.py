#!/usr/bin/python3
"""Photoshop's merged pictures with transparency: the library takes off the white Photoshop blends
them with, as ImageMagick does. Each file of the answer key whose merged picture is partly
transparent is decoded by the library (straight BGRA, through vekdecode) and by ImageMagick; they
match when 99 % of the pixels agree within 3 levels, colour weighed by alpha, and alpha within 1.
Files listed in merged_alpha.tsv are reported, not failed.

  merged_alpha.py VEKDECODE PHOTOSHOP_DIR WORKDIR
"""
import os
import subprocess
import sys

import numpy as np

import answer_key


def ours(vekdecode, path, work):
    r = subprocess.run([vekdecode, work], input=path + "\n", capture_output=True, text=True)
    fields = r.stdout.split("\t")
    if r.returncode != 0 or len(fields) < 4 or fields[1] != "ok":
        return None
    w, h = int(fields[2]), int(fields[3])
    bgra = np.fromfile(os.path.join(work, "0.bgra"), np.uint8).reshape(h, w, 4).astype(float)
    return bgra[..., [2, 1, 0, 3]]


def magick(path, shape):
    r = subprocess.run(["convert", path + "[0]", "-depth", "8", "RGBA:-"], capture_output=True)
    h, w = shape[:2]
    if r.returncode != 0 or len(r.stdout) != w * h * 4:
        return None
    return np.frombuffer(r.stdout, np.uint8).reshape(h, w, 4).astype(float)


def main():
    vekdecode, root, work = sys.argv[1:4]
    if not os.path.isdir(root):
        print(f"merged transparency: {root} is not here; skipped")
        return 77
    os.makedirs(work, exist_ok=True)
    listed = answer_key.listed("merged_alpha.tsv")
    names = answer_key.photoshop_files(root)
    transparent, matched, failures = 0, 0, []
    for name in names:
        path = os.path.join(root, name)
        a = ours(vekdecode, path, work)
        if a is None or (a[..., 3] == 255).all():
            continue
        transparent += 1
        b = magick(path, a.shape)
        if b is None:
            print(f"{name:58s} ImageMagick does not read it")
            continue
        colour = np.abs(a[..., :3] * a[..., 3:] - b[..., :3] * b[..., 3:]).max(axis=2) / 255
        good = (colour <= 3) & (np.abs(a[..., 3] - b[..., 3]) <= 1)
        share = good.mean() * 100
        ok = share >= 99
        matched += ok
        note = f"  (listed: {listed[name]})" if name in listed else ""
        if not ok and name not in listed:
            failures.append(name)
        print(f"{name:58s} {share:6.2f}%{note}")
    print(f"{matched} of {transparent} files with merged transparency match ImageMagick's reading")
    for name in failures:
        print(f"FAIL {name}: differs from ImageMagick's reading and is not listed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
