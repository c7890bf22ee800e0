#!/usr/bin/env python3
"""The stack driver on the deliberately wrong control plug-in must fail, and for the right reasons:
the cdecl export leaves its 12 argument bytes at every offset, and the export that trusts an aligned
stack works at offset 0 and faults at the first misaligned one.

    expect_stack_faults.py DRIVER-COMMAND..."""
import re
import subprocess
import sys

done = subprocess.run(sys.argv[1:], capture_output=True, text=True, timeout=600)
out = done.stdout.replace("\r\n", "\n")
print(out)
checks = {
    "the driver fails": done.returncode != 0,
    "cdecl seen at all four offsets": len(re.findall(r"^GetPluginInfo +offset +\d+: removed +0 of 12 bytes.*WRONG$", out, re.M)) == 4,
    "right exports pass": len(re.findall(r"^(IsSupported|GetPictureInfo) .* ok$", out, re.M)) == 8,
    "aligned spill works when aligned": re.search(r"^GetPicture +offset +0: removed 28 of 28 bytes.* ok$", out, re.M) is not None,
    "aligned spill faults when not": re.search(r"^GetPicture +offset +4: FAULT c0000", out, re.M) is not None,
}
for what, held in checks.items():
    print("%-4s %s" % ("ok" if held else "FAIL", what))
sys.exit(0 if all(checks.values()) else 1)
