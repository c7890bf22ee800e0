#!/usr/bin/env python3
"""Reads the Windows DLLs' export and import tables with objdump and checks them against what a
viewer and the plug-in rely on: names, ordinals, module names, imports only from system DLLs, and in
32-bit builds the stack clean-up (ret $N) of every export."""
import argparse
import re
import subprocess
import sys

PLUGIN_EXPORTS = {  # name: (ordinal, argument bytes in the 32-bit build)
    "GetPicture": (1, 28),
    "GetPictureInfo": (2, 16),
    "GetPluginInfo": (3, 12),
    "GetPreview": (4, 28),
    "IsSupported": (5, 8),
    # The UTF-16 twins, after the five whose ordinals hosts know.
    "GetPictureW": (6, 28),
    "GetPictureInfoW": (7, 16),
    "GetPluginInfoW": (8, 12),
    "GetPreviewW": (9, 28),
    "IsSupportedW": (10, 8),
}
SAME_ENTRY = [("GetPicture", "GetPreview"), ("GetPictureW", "GetPreviewW")]  # names that must share one address

LIBRARY_EXPORTS = {
    "vekLibraryInit": 0, "vekLibraryExit": 0, "vekFormatIsSupported": 4,
    "vekGetFileInformation": 12, "vekGetFileInformationFromMemory": 16, "vekFreeFileInformation": 4,
    "vekGetDefaultLoadParams": 4, "vekLoadBitmap": 16, "vekLoadBitmapFromMemory": 20,
    "vekChangeColorDepth": 16, "vekFreeBitmap": 4,
    "vekFormatIsSupportedW": 4, "vekGetFileInformationW": 12, "vekLoadBitmapW": 16,
    "vekGetLastRefusal": 8,  # for vekhost: why a call failed, in words
}
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "ntdll.dll", "shell32.dll"}

failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message)


def objdump(tool, *args):
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True).stdout


def read_tables(tool, path):
    text = objdump(tool, "-p", path)
    image_base = int(re.search(r"^ImageBase\s+([0-9a-fA-F]+)", text, re.M).group(1), 16)
    exports = {"name": None, "base": None, "rva": {}, "names": {}}
    imports = {}
    section = None
    current_dll = None
    for line in text.splitlines():
        if line.startswith("The Export Tables"):
            section = "export"
            continue
        if line.startswith("The Import Tables"):
            section = "import"
            continue
        if line.startswith("The Function Table") or line.startswith("PE File Base Relocations"):
            section = None
        if section == "export":
            m = re.match(r"^Name\s+[0-9a-fA-F]+\s+(\S+)", line)
            if m:
                exports["name"] = m.group(1)
            m = re.match(r"^Ordinal Base\s+(\d+)", line)
            if m:
                exports["base"] = int(m.group(1))
            m = re.match(r"^\s+\[\s*(\d+)\] \+base\[\s*(\d+)\]\s+([0-9a-fA-F]+) Export RVA", line)
            if m:
                exports["rva"][int(m.group(2))] = int(m.group(3), 16)
            m = re.match(r"^\s+\[\s*(\d+)\] (\S+)$", line)
            if m:
                exports["names"][m.group(2)] = exports["base"] + int(m.group(1))
        elif section == "import":
            m = re.match(r"^\s+DLL Name: (\S+)", line)
            if m:
                current_dll = m.group(1)
                imports[current_dll] = []
                continue
            m = re.match(r"^\s+[0-9a-fA-F]+\s+\d+\s+(\S+)$", line)
            if m and current_dll:
                imports[current_dll].append(m.group(1))
    return image_base, exports, imports


def read_imports(tool, path):
    return re.findall(r"^\s+DLL Name: (\S+)", objdump(tool, "-p", path), re.M)


def stack_cleanup(tool, path, address):
    """The operands of every ret in the function that starts at address."""
    text = objdump(tool, "-d", "--start-address=0x%x" % address, "--stop-address=0x%x" % (address + 0x2000), path)
    rets = []
    started = False
    for line in text.splitlines():
        if re.match(r"^[0-9a-f]+ <.*>:$", line):
            if started:
                break
            started = True
            continue
        m = re.search(r"\tret\s*(\$0x[0-9a-f]+)?", line)
        if m:
            rets.append(int(m.group(1)[3:], 16) if m.group(1) else 0)
    return rets


def check_cleanup(tool, path, image_base, rva, name, expected):
    rets = stack_cleanup(tool, path, image_base + rva)
    if not rets:
        fail("%s: no ret found in %s" % (path, name))
    elif any(r != expected for r in rets):
        fail("%s: %s ends with ret $%s, expected $%d" % (path, name, rets, expected))
    else:
        print("ok: %s removes %d bytes (ret $%d)" % (name, expected, expected))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--bits", type=int, choices=(32, 64), required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--host")
    args = parser.parse_args()
    module = "vek.spi" if args.bits == 32 else "vek.sph"

    base, exports, imports = read_tables(args.objdump, args.plugin)
    if exports["name"] != module:
        fail("plug-in module name is %s, expected %s" % (exports["name"], module))
    if set(exports["names"]) != set(PLUGIN_EXPORTS):
        fail("plug-in exports %s, expected %s" % (sorted(exports["names"]), sorted(PLUGIN_EXPORTS)))
    else:
        print("ok: plug-in exports the %d entry points undecorated" % len(PLUGIN_EXPORTS))
    for name, (ordinal, arg_bytes) in PLUGIN_EXPORTS.items():
        got = exports["names"].get(name)
        if got != ordinal:
            fail("%s has ordinal %s, expected %d" % (name, got, ordinal))
            continue
        print("ok: %s @%d" % (name, ordinal))
        if args.bits == 32:
            check_cleanup(args.objdump, args.plugin, base, exports["rva"][ordinal], name, arg_bytes)
    for a, b in SAME_ENTRY:
        ra = exports["rva"].get(exports["names"].get(a))
        rb = exports["rva"].get(exports["names"].get(b))
        if ra is None or ra != rb:
            fail("%s and %s are not one entry point (%s, %s)" % (a, b, ra, rb))
        else:
            print("ok: %s and %s share RVA %x" % (a, b, ra))
    for dll, names in imports.items():
        if dll.lower() == "libvek340.dll":
            unknown = [n for n in names if n not in LIBRARY_EXPORTS]
            if unknown:
                fail("plug-in imports unknown or decorated names from libvek340.dll: %s" % unknown)
            else:
                print("ok: plug-in imports %s from libvek340.dll" % ", ".join(sorted(names)))
        elif dll.lower() not in SYSTEM_DLLS:
            fail("plug-in imports from %s" % dll)
    if "libvek340.dll" not in [d.lower() for d in imports]:
        fail("plug-in does not import libvek340.dll at load time")

    base, exports, imports = read_tables(args.objdump, args.library)
    if exports["name"] != "libvek340.dll":
        fail("library module name is %s" % exports["name"])
    if set(exports["names"]) != set(LIBRARY_EXPORTS):
        fail("library exports %s" % sorted(exports["names"]))
    else:
        print("ok: libvek340.dll exports the %d entry points undecorated" % len(LIBRARY_EXPORTS))
    if args.bits == 32:
        for name, arg_bytes in LIBRARY_EXPORTS.items():
            if name in exports["names"]:
                check_cleanup(args.objdump, args.library, base, exports["rva"][exports["names"][name]], name, arg_bytes)
    for dll in imports:
        if dll.lower() not in SYSTEM_DLLS:
            fail("libvek340.dll imports from %s" % dll)
    if args.host:
        host_imports = read_imports(args.objdump, args.host)
        others = [d for d in host_imports if d.lower() not in SYSTEM_DLLS]
        if others:
            fail("vekhost.exe imports from %s" % others)
        else:
            print("ok: vekhost.exe imports only %s" % ", ".join(host_imports))
    print("imports: plug-in %s" % ", ".join(read_tables(args.objdump, args.plugin)[2]))
    print("imports: library %s" % ", ".join(imports))

    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("all binary checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
