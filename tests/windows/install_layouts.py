#!/usr/bin/env python3
"""The two files of a package in the folder layouts that viewers use, loaded by a host that calls plain
LoadLibraryA(full path):
  program-folder   the plug-ins sit beside the viewer's program;
  own-folder       the plug-ins have a folder of their own, and the viewer runs from elsewhere.
Each must decode the picture to the same pixels as the native build. A copy of the plug-in with its
resources removed (so without its manifest) must fail in the own-folder layout: that is what the
manifest mends, and it shows this loader searches as Windows documents.

    install_layouts.py --runner RUNNER --host plain_host.exe --plugin P --library L --objcopy TOOL
                       --picture FILE --expected NATIVE.bmp --work DIR"""
import argparse
import os
import shutil
import subprocess
import sys


def fnv1a(data):
    h = 2166136261
    for b in data:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return h


def main():
    p = argparse.ArgumentParser()
    for name in ("runner", "host", "plugin", "library", "objcopy", "picture", "expected", "work"):
        p.add_argument("--" + name, required=True)
    a = p.parse_args()
    bmp = open(a.expected, "rb").read()
    width, height = int.from_bytes(bmp[18:22], "little", signed=True), int.from_bytes(bmp[22:26], "little", signed=True)
    want = "decoded %d x %d, pixels fnv1a %08x" % (width, height, fnv1a(bmp[54:]))
    plugin_name = os.path.basename(a.plugin)
    shutil.rmtree(a.work, ignore_errors=True)
    failures = 0

    def run(case, folder, plugin, must_decode):
        nonlocal failures
        viewer = os.path.join(a.work, case, "viewer")
        elsewhere = os.path.join(a.work, case, "elsewhere")
        plugins = viewer if folder == "program" else os.path.join(viewer, "plug-ins")
        for d in (viewer, elsewhere, plugins):
            os.makedirs(d, exist_ok=True)
        shutil.copy(a.host, viewer)
        shutil.copy(a.picture, elsewhere)
        shutil.copy(plugin, os.path.join(plugins, plugin_name))
        shutil.copy(a.library, plugins)
        host = os.path.join(viewer, os.path.basename(a.host))
        done = subprocess.run([a.runner, host, os.path.join(plugins, plugin_name), os.path.basename(a.picture)],
                              cwd=elsewhere, capture_output=True, text=True, timeout=300)
        out = done.stdout.replace("\r\n", "\n").strip()
        ok = (done.returncode == 0 and out == want) if must_decode else (done.returncode == 3 and "error 126" in out)
        print("%-4s %-28s %s" % ("ok" if ok else "FAIL", case, out or done.stderr.strip()[:300]))
        failures += not ok

    run("program-folder", "program", a.plugin, True)
    run("own-folder", "own", a.plugin, True)
    bare = os.path.join(a.work, "without-manifest-" + plugin_name)
    os.makedirs(a.work, exist_ok=True)
    subprocess.run([a.objcopy, "--remove-section=.rsrc", a.plugin, bare], check=True)
    run("own-folder-without-manifest", "own", bare, False)
    print("%d passed, %d failed (expected: %s)" % (3 - failures, failures, want))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
