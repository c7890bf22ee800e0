#!/usr/bin/env python3
"""The download as a user gets it: the release zip listed, unpacked, and its vekhost.exe run under
wine on a picture with the plug-in and library beside it, the pixels as the native build's.

    release_zip.py --runner RUNNER --zip ZIP --plugin NAME --picture FILE --expected NATIVE.bmp --work DIR"""
import argparse
import os
import shutil
import subprocess
import sys
import zipfile


def main():
    p = argparse.ArgumentParser()
    for name in ("runner", "zip", "plugin", "picture", "expected", "work"):
        p.add_argument("--" + name, required=True)
    a = p.parse_args()
    top = os.path.splitext(os.path.basename(a.zip))[0]
    want = {top + "/" + n for n in (a.plugin, "libvek340.dll", "vekhost.exe", "INSTALL.txt", "INSTALL.ja.txt",
                                     "licences/vek-bridge.txt", "licences/libjpeg-turbo.md", "licences/libspng.txt",
                                     "licences/giflib.txt", "licences/libdeflate.txt", "licences/lcms2.txt",
                                     "licences/zlib.txt")}
    with zipfile.ZipFile(a.zip) as z:
        names = {i.filename.rstrip("/") for i in z.infolist() if not i.is_dir()}
        for i in sorted(z.infolist(), key=lambda i: i.filename):
            if not i.is_dir():
                print("%10d  %s" % (i.file_size, i.filename))
        shutil.rmtree(a.work, ignore_errors=True)
        z.extractall(a.work)
    missing = sorted(want - names)
    for name in missing:
        print("FAIL missing from the zip:", name)
    folder = os.path.join(a.work, top)
    shutil.copy(a.picture, folder)
    done = subprocess.run([a.runner, os.path.join(folder, "vekhost.exe"), "--quiet", "decode",
                           os.path.basename(a.picture), "-o", "out.bmp"], cwd=folder, capture_output=True, text=True,
                          timeout=300)
    out = os.path.join(folder, "out.bmp")
    same = done.returncode == 0 and os.path.exists(out) and open(out, "rb").read()[54:] == open(a.expected, "rb").read()[54:]
    print("%s vekhost.exe from the unpacked zip: %s" % ("ok  " if same else "FAIL",
                                                        "pixels as the native build's" if same else done.stdout + done.stderr))
    return 0 if same and not missing else 1


if __name__ == "__main__":
    sys.exit(main())
