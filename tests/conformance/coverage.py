"""Which reader path each picture of the suites takes, read from its header by this script (not by
the library), and who wrote it. A reader path is a format's variant and compression: the branch of
a reader a picture runs through.

    coverage.py --sources DIR --variants DIR [--paths TSV]

paths.tsv lists every path the readers have, each "outside" (some picture of it must come from a
program other than ours) or "ours" with the reason no common writer emits it; and variants the
readers refuse, as "refused". The check fails when an "outside" path has no such picture, when any
listed path has no picture at all, and when a picture takes a path the table does not list."""
import argparse
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "fixtures"))
import gif_lzw  # noqa: E402
from run_conformance import suites  # noqa: E402

WRITERS = {"pngsuite": "PngSuite", "testpngs": "libpng", "giflib": "giflib", "libjpeg-turbo": "libjpeg-turbo"}


def writer_of(suite, name):
    if suite.startswith("generated-"):
        who = suite[len("generated-"):]
        # The writers' source pictures are Pillow's.
        return "pillow" if name.startswith("source/") or name.endswith((".ppm", ".pgm", ".pbm", ".pam")) else who
    return WRITERS[suite]


def png_path(d):
    if d[:8] != b"\x89PNG\r\n\x1a\n" or d[12:16] != b"IHDR":
        return None
    depth, colour, _, _, interlace = d[24], d[25], d[26], d[27], d[28]
    kind = {0: "grey", 2: "rgb", 3: "palette", 4: "grey-alpha", 6: "rgba"}.get(colour, "bad-colour")
    keys = ["png/%s-%d" % (kind, depth)]
    if interlace:
        keys.append("png/interlaced")
    at = 8
    while at + 8 <= len(d):
        length, ctype = struct.unpack(">I4s", d[at:at + 8])
        if ctype == b"tRNS":
            keys.append("png/trns-" + kind)
        if ctype == b"IDAT":
            break
        at += 12 + length
    return keys


def gif_path(d):
    if d[:6] not in (b"GIF87a", b"GIF89a"):
        return None
    desc, start = gif_lzw.descriptor(d), gif_lzw.data_start(d)
    size = d[start]
    keys = ["gif/lzw-%s" % ("2-8" if size <= 8 else "9-11" if size <= 11 else "12+")]
    if not d[10] & 0x80:
        keys.append("gif/no-global-palette")
    control = d.find(b"\x21\xf9\x04", 13, desc)
    if control >= 0 and d[control + 3] & 1:
        keys.append("gif/transparent")
    flags = d[desc + 9]
    if flags & 0x80:
        keys.append("gif/local-palette")
    if flags & 0x40:
        keys.append("gif/interlaced")
    left, top, w, h = struct.unpack("<HHHH", d[desc + 1:desc + 9])
    if left or top or (w, h) != struct.unpack("<HH", d[6:10]):
        keys.append("gif/frame-not-screen")
    return keys


def jpeg_path(d):
    if d[:3] != b"\xff\xd8\xff":
        return None
    keys, at, components, restart, transform = [], 2, 0, False, None
    while at + 4 <= len(d):
        if d[at] != 0xFF:
            at += 1
            continue
        marker = d[at + 1]
        if marker in (0xD8, 0x01) or 0xD0 <= marker <= 0xD7 or marker == 0xFF:
            at += 1 if marker == 0xFF else 2
            continue
        length = struct.unpack(">H", d[at + 2:at + 4])[0]
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            process = {0xC0: "baseline", 0xC1: "extended", 0xC2: "progressive", 0xC3: "lossless",
                       0xC9: "arithmetic", 0xCA: "arithmetic-progressive", 0xCB: "arithmetic-lossless"}.get(marker, "other")
            keys.append("jpeg/" + process)
            precision, components = d[at + 4], d[at + 9]
            if precision != 8:
                keys.append("jpeg/precision-%d" % precision)
            keys.append("jpeg/components-%d" % components)
        elif marker == 0xDD:
            restart = struct.unpack(">H", d[at + 4:at + 6])[0] != 0
        elif marker == 0xEE and d[at + 4:at + 9] == b"Adobe" and length >= 12:
            transform = d[at + 15]
        elif marker == 0xDA:
            break
        at += 2 + length
    if restart:
        keys.append("jpeg/restart-markers")
    if components == 4:
        keys.append("jpeg/cmyk" if transform != 2 else "jpeg/ycck")
    return keys


def bmp_path(d, headerless=False):
    start = 0 if headerless else 14
    if not headerless and d[:2] != b"BM":
        return None
    size = struct.unpack("<I", d[start:start + 4])[0]
    if size == 12:
        kind, bits, compression, height = "os2v1", struct.unpack("<H", d[start + 10:start + 12])[0], 0, 1
    else:
        kind = {40: "info", 52: "info52", 56: "info56", 108: "v4", 124: "v5"}.get(size, "os2v2")
        height = struct.unpack("<i", d[start + 8:start + 12])[0]
        bits = struct.unpack("<H", d[start + 14:start + 16])[0]
        compression = struct.unpack("<I", d[start + 16:start + 20])[0] if size >= 20 else 0
    name = {0: "rgb", 1: "rle8", 2: "rle4", 3: "bitfields", 4: "jpeg", 5: "png", 6: "alphabitfields"}.get(compression, "other")
    keys = ["%s/header-%s" % ("dib" if headerless else "bmp", kind),
            "bmp/pixels-%s-%d" % (name, bits) if name in ("rgb", "bitfields", "alphabitfields") else "bmp/pixels-" + name]
    if height < 0:
        keys.append("bmp/top-down")
    return keys


def tga_path(d):
    if len(d) < 18:
        return None
    image_type, bits, map_bits, descriptor = d[2], d[16], d[7], d[17]
    kind = {1: "colour-mapped", 2: "true-colour", 3: "grey", 9: "colour-mapped-rle", 10: "true-colour-rle",
            11: "grey-rle"}.get(image_type)
    if kind is None:
        return None
    keys = ["tga/%s-%d" % (kind, bits)]
    if image_type in (1, 9):
        keys.append("tga/map-entries-%d" % map_bits)
    keys.append("tga/origin-%s" % {0x00: "bottom-left", 0x20: "top-left", 0x10: "bottom-right", 0x30: "top-right"}[descriptor & 0x30])
    if d[-18:] == b"TRUEVISION-XFILE.\0":
        extension = struct.unpack("<I", d[-26:-22])[0]
        keys.append("tga/footer-attributes-%d" % d[extension + 494] if extension and extension + 495 <= len(d) else "tga/footer")
    return keys


def psd_path(d):
    if d[:4] != b"8BPS":
        return None
    version, channels, _, _, depth, mode = struct.unpack(">HxxxxxxHIIHH", d[4:26])
    name = {0: "bitmap", 1: "grey", 2: "indexed", 3: "rgb", 4: "cmyk", 7: "multichannel", 8: "duotone", 9: "lab"}.get(mode, "other")
    keys = ["psd/mode-" + name, "psd/depth-%d" % depth]
    if version == 2:
        keys.append("psd/psb")
    at = 26
    at += 4 + struct.unpack(">I", d[at:at + 4])[0]
    resources_end = at + 4 + struct.unpack(">I", d[at:at + 4])[0]
    if mode == 7 and (b"8BIM\x04\x35" in d[at:resources_end] or b"8BIM\x03\xef" in d[at:resources_end]):
        keys.append("psd/multichannel-display-colours")
    at = resources_end
    wide = version == 2
    width = 8 if wide else 4
    layers = struct.unpack(">Q" if wide else ">I", d[at:at + width])[0]
    if layers >= width + 2:
        count = struct.unpack(">h", d[at + 2 * width:at + 2 * width + 2])[0]
        if count < 0:
            keys.append("psd/merged-alpha")
    at += width + layers
    if at + 2 <= len(d):
        keys.append("psd/compression-" + {0: "raw", 1: "packbits", 2: "zip", 3: "zip-predicted"}.get(struct.unpack(">H", d[at:at + 2])[0], "other"))
    if channels > 56:
        keys.append("psd/more-than-56-channels")
    return keys


DXGI = {70: "bc1", 71: "bc1", 72: "bc1", 73: "bc2", 74: "bc2", 75: "bc2", 76: "bc3", 77: "bc3", 78: "bc3", 79: "bc4", 80: "bc4",
        81: "bc4-signed", 82: "bc5", 83: "bc5", 84: "bc5-signed", 94: "bc6h", 95: "bc6h", 96: "bc6h-signed", 97: "bc7", 98: "bc7",
        99: "bc7", 27: "rgba8", 28: "rgba8", 29: "rgba8", 30: "rgba8", 87: "bgra8", 90: "bgra8", 91: "bgra8", 88: "bgrx8",
        92: "bgrx8", 93: "bgrx8", 85: "b5g6r5", 86: "b5g5r5a1", 115: "b4g4r4a4", 60: "r8", 61: "r8", 48: "r8g8", 49: "r8g8",
        65: "a8", 23: "r10g10b10a2", 24: "r10g10b10a2", 9: "rgba16", 11: "rgba16", 10: "rgba16-float"}


def dds_path(d):
    if d[:4] != b"DDS ":
        return None
    flags, code, bits = struct.unpack("<I4sI", d[80:92])
    masks = struct.unpack("<4I", d[92:108])
    if flags & 4 and code == b"DX10":
        dxgi = struct.unpack("<I", d[128:132])[0]
        return ["dds/dx10-" + DXGI.get(dxgi, "format-%d" % dxgi)]
    if flags & 4:
        return ["dds/fourcc-" + (code.decode("latin-1") if code.isalnum() else "d3dfmt-%d" % struct.unpack("<I", code)[0])]
    kind = "rgb" if flags & 0x40 else "luminance" if flags & 0x20000 else "alpha" if flags & 2 else \
        "palette" if flags & 0x20 else "other"
    key = "dds/%s-%d" % (kind, bits)
    if kind == "rgb" and bits == 32 and masks[1] == 0xFFC00:
        key += "-10-10-10-2"
    if kind == "rgb" and (flags & 1):
        key += "-alpha"
    return [key]


READERS = {"png": png_path, "gif": gif_path, "jpeg": jpeg_path, "bmp": bmp_path, "dib": lambda d: bmp_path(d, True),
           "tga": tga_path, "psd": psd_path, "dds": dds_path}


def load_paths(path):
    rows = {}
    for line in open(path):
        if not line.strip() or line.startswith("#"):
            continue
        key, status, reason = line.rstrip("\n").split("\t")
        rows[key] = (status, reason)
    return rows


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--sources", required=True)
    p.add_argument("--variants", required=True)
    p.add_argument("--paths", default=os.path.join(HERE, "paths.tsv"))
    a = p.parse_args()
    seen = {}
    for suite, name, path, fmt in suites(a.sources, a.variants):
        data = open(path, "rb").read()
        try:
            keys = READERS[fmt](data) or []
        except (IndexError, ValueError, struct.error, KeyError):
            keys = []
        for key in keys:
            seen.setdefault(key, {}).setdefault(writer_of(suite, name), 0)
            seen[key][writer_of(suite, name)] += 1
    rows = load_paths(a.paths)
    failures = 0
    outside_paths = ours_paths = 0
    print("%-44s %-7s %s" % ("reader path", "status", "pictures by writer"))
    for key, (status, reason) in rows.items():
        writers = seen.get(key, {})
        outside = {w: n for w, n in writers.items() if w != "byhand"}
        line = ", ".join("%s %d" % kv for kv in sorted(writers.items())) or "none"
        verdict = ""
        if not writers:
            verdict = "  NO PICTURE"
        elif status == "outside" and not outside:
            verdict = "  NO OUTSIDE WRITER"
        if verdict:
            failures += 1
        if status == "outside":
            outside_paths += 1
        elif status == "ours":
            ours_paths += 1
        print("%-44s %-7s %s%s" % (key, status, line, verdict))
    unknown = sorted(k for k in seen if k not in rows)
    for key in unknown:
        print("%-44s %-7s %s  NOT IN THE TABLE" % (key, "?", ", ".join("%s %d" % kv for kv in sorted(seen[key].items()))))
    failures += len(unknown)
    print("\n%d reader paths: %d with pictures from other programs, %d from our writer alone (each with its reason "
          "in %s); %d refused variants; %d problems" % (outside_paths + ours_paths, outside_paths, ours_paths,
                                                        os.path.basename(a.paths), len(rows) - outside_paths - ours_paths,
                                                        failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
