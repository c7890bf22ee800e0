#!/usr/bin/env python3
"""End to end: vekhost decodes every fixture through the plug-in and the library, from files and
from memory, and each .bmp it writes must be exactly the expected one: the expected pixels, rows
bottom-up, laid on the checkerboard where the picture carries transparency.

    run_e2e.py --fixtures DIR --out DIR [--compare-with DIR] -- HOST-COMMAND...

With --compare-with, every output must also be byte-identical to the one of another run (the
Windows build under wine against the native one)."""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys


def manifest(fixtures):
    rows = []
    with open(os.path.join(fixtures, "manifest.tsv")) as f:
        names = f.readline().split()
        for line in f:
            rows.append(dict(zip(names, line.rstrip("\n").split("\t"))))
    return rows


def composite(pixels, width, height):
    """The checkerboard, as plainly as it is defined: 8-pixel squares of 255 and 204, the top-left
    one white, bottom-up rows."""
    out = bytearray(pixels)
    r0 = 16 - (height & 15)
    i = 0
    for row in range(r0, r0 + height):
        for c in range(width):
            a = out[i + 3]
            if a != 255:
                shade = 255 if (row ^ c) & 8 else 204
                for k in range(3):
                    out[i + k] = shade if a == 0 else (out[i + k] * a + (255 - a) * shade) // 255
            i += 4
    return bytes(out)


def expected_bmp(fixtures, row):
    w, h = int(row["width"]), int(row["height"])
    top_down = open(os.path.join(fixtures, row["expected"]), "rb").read()
    stride = w * 4
    bottom_up = b"".join(top_down[y * stride:(y + 1) * stride] for y in reversed(range(h)))
    if int(row["transparent_index"]) != -1 or int(row["loaded_bits"]) * int(row["loaded_components"]) == 32:
        bottom_up = composite(bottom_up, w, h)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 32, 0, 0, 0, 0, 0, 0)
    return b"BM" + struct.pack("<IHHI", 14 + 40 + len(bottom_up), 0, 0, 54) + info + bottom_up


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--compare-with")
    parser.add_argument("host", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    host = [a for a in args.host if a != "--"]
    if args.compare_with and not os.path.isdir(args.compare_with):
        print("note: %s does not exist; outputs are checked against the expected pictures only" % args.compare_with)
        args.compare_with = None
    rows = manifest(args.fixtures)
    good = [r for r in rows if r["expected"] != "-"]
    refused = [r for r in rows if r["expected"] == "-"]
    failures = 0
    checked = 0
    for mode, flags in (("file", []), ("memory", ["--memory"]), ("preview", ["--preview", "--memory"])):
        out = os.path.join(args.out, mode)
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        subset = good if mode != "preview" else good[::7]
        files = [os.path.join(args.fixtures, r["name"]) for r in subset]
        done = subprocess.run(host + ["--quiet"] + flags + ["decode"] + files + ["-o", out],
                              capture_output=True, text=True, timeout=1200)
        if done.returncode != 0:
            print("FAIL %s: vekhost exited %d: %s" % (mode, done.returncode, done.stderr.strip()[:2000]))
            failures += 1
        for r in subset:
            written = os.path.join(out, r["name"] + ".bmp")
            checked += 1
            if not os.path.exists(written):
                print("FAIL %s %s: no output" % (mode, r["name"]))
                failures += 1
                continue
            data = open(written, "rb").read()
            if data != expected_bmp(args.fixtures, r):
                print("FAIL %s %s: not the expected picture" % (mode, r["name"]))
                failures += 1
            if args.compare_with:
                other = os.path.join(args.compare_with, mode, r["name"] + ".bmp")
                if not os.path.exists(other) or open(other, "rb").read() != data:
                    print("FAIL %s %s: differs from %s" % (mode, r["name"], other))
                    failures += 1
    # Refused files: an error code in words and the library's reason, a non-zero exit, no picture written.
    out = os.path.join(args.out, "refused")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    for r in refused:
        checked += 1
        target = os.path.join(out, r["name"] + ".bmp")
        command = host + ["--quiet", "decode", os.path.join(args.fixtures, r["name"]), "-o", target]
        done = subprocess.run(command, capture_output=True, text=True, timeout=120)
        if done.returncode == 1 and not done.stderr:
            # Wine has been seen to lose a short-lived program's last output on a busy machine: the
            # refusal is asked once more before it counts as wrong.
            print("note: refused %s: no message, asked again" % r["name"])
            done = subprocess.run(command, capture_output=True, text=True, timeout=120)
        # The plug-in's result, then the library's code in words and its reason.
        said = re.search(r"\(result \d+\): [a-z ]+ \(\d+\): \S", done.stderr)
        if done.returncode == 0 or os.path.exists(target) or "could not read" not in done.stderr or not said:
            print("FAIL refused %s: exit %d, stderr %r" % (r["name"], done.returncode, done.stderr))
            failures += 1
    # Names no ANSI code page spells reach the plug-in through its UTF-16 entry points: the same
    # picture as under the file's plain name, and an output file of such a name too.
    out = os.path.join(args.out, "unicode")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    for new_name, ext in (("写真.bmp", ".bmp"), ("ñandú.png", ".png"), ("😀.gif", ".gif")):
        r = next(r for r in good if r["name"].endswith(ext))
        source = os.path.join(out, new_name)
        shutil.copyfile(os.path.join(args.fixtures, r["name"]), source)
        target = os.path.join(out, "→" + new_name + ".bmp")
        for flags in ([], ["--memory"]):
            checked += 1
            done = subprocess.run(host + ["--quiet"] + flags + ["decode", source, "-o", target],
                                  capture_output=True, timeout=120)
            if done.returncode != 0 or not os.path.exists(target) or open(target, "rb").read() != expected_bmp(args.fixtures, r):
                print("FAIL %s (%s) %s: exit %d, %r" % (new_name, r["name"], flags, done.returncode, done.stderr[:300]))
                failures += 1
            if os.path.exists(target):
                os.remove(target)
        checked += 1
        done = subprocess.run(host + ["query", source], capture_output=True, timeout=120)
        if done.returncode != 0 or ("%s x %s pixels" % (r["width"], r["height"])).encode() not in done.stdout:
            print("FAIL query %s: exit %d, %r" % (new_name, done.returncode, done.stdout[:300]))
            failures += 1
    # The other commands, as a user types them.
    first = os.path.join(args.fixtures, good[0]["name"])
    commands = [
        (["info"], 0, lambda out: out.count("\n") == 17 and "00IN" in out and "VEK Windows Bitmap (*.bmp)" in out
         and "8-bit and UTF-16 (GetPluginInfoW, IsSupportedW, GetPictureInfoW, GetPictureW, GetPreviewW)" in out),
        (["check", "holiday.JPG"], 0, lambda out: "taken" in out),
        (["check", "notes.txt"], 1, lambda out: "declined" in out),
        (["query", first], 0, lambda out: "%s x %s pixels" % (good[0]["width"], good[0]["height"]) in out),
        (["--memory", "query", first], 0, lambda out: "%s x %s pixels" % (good[0]["width"], good[0]["height"]) in out),
        (["decode", "--help"], 0, lambda out: "usage: vekhost" in out),
        (["--help"], 0, lambda out: "commands:" in out),
        (["frobnicate"], 2, lambda out: True),
        (["decode", first], 2, lambda out: True),  # no -o
        (["--plugin", os.path.join(args.out, "no-such-plugin"), "info"], 2, lambda out: True),
    ]
    for words, status, looks_right in commands:
        checked += 1
        done = subprocess.run(host + words, capture_output=True, text=True, timeout=120)
        output = done.stdout.replace("\r\n", "\n")
        if done.returncode != status or not looks_right(output):
            print("FAIL vekhost %s: exit %d, output %r" % (" ".join(words), done.returncode, output[:300]))
            failures += 1
    print("%d passed, %d failed" % (checked - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
