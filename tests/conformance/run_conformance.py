#!/usr/bin/python3
"""The differential conformance harness: whole public suites and the generated variants, decoded
through libvek340 (from the file and from memory) and by independent decoders, picture by picture.

    run_conformance.py --vekdecode PATH --sources DIR --variants DIR --work DIR [--differences TSV]
    run_conformance.py --list --sources DIR --variants DIR     one "format<TAB>path" a picture

Suites: libpng's contrib/pngsuite and contrib/testpngs, giflib's pictures, libjpeg-turbo's
testimages (from Debian's source packages, under --sources), and the variants make_variants.py
writes. References: Pillow, ImageMagick and djpeg, and for pictures that describe their colours
(an ICC profile, or a PNG's cHRM with gAMA) LittleCMS's conversion of Pillow's samples to sRGB. A
picture agrees when ours equals what one reference shows (where both sides are fully transparent
the colour is not compared), or comes within 3 of LittleCMS's conversion with a mean difference
under 0.5, or when all refuse it. Every other outcome must be listed, with its reason, in expected_differences.tsv; the
harness fails on any that is not, and on any crash of the library."""
import argparse
import concurrent.futures
import ctypes
import ctypes.util
import fnmatch
import glob
import io
import os
import struct
import subprocess
import sys
import zlib

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
REFERENCES = {  # the decoders asked about each format, in order
    "png": ("pillow", "magick", "lcms"),
    "gif": ("pillow", "magick"),
    "jpeg": ("djpeg", "pillow", "magick", "lcms"),
    "bmp": ("pillow", "magick"),
    "dib": ("magick",),
    "tga": ("pillow", "magick"),
    "psd": ("magick", "pillow", "lcms"),
    "dds": ("pillow", "magick"),
}
EXTENSIONS = {".png": "png", ".gif": "gif", ".jpg": "jpeg", ".jpeg": "jpeg", ".bmp": "bmp", ".dib": "dib",
              ".tga": "tga", ".psd": "psd", ".psb": "psd", ".dds": "dds"}


def suites(sources, variants):
    """(suite, name, path, format) for every picture."""
    out = []

    def add(suite, root, pattern):
        for p in sorted(glob.glob(os.path.join(root, pattern), recursive=True)):
            fmt = EXTENSIONS.get(os.path.splitext(p)[1].lower())
            if fmt:
                out.append((suite, os.path.relpath(p, root), p, fmt))

    png = glob.glob(os.path.join(sources, "libpng1.6-*"))[0]
    add("pngsuite", os.path.join(png, "contrib", "pngsuite"), "**/*")
    add("testpngs", os.path.join(png, "contrib", "testpngs"), "**/*")
    gif = glob.glob(os.path.join(sources, "giflib-*"))[0]
    add("giflib", gif, "pic/*")
    add("giflib", gif, "tests/*")
    add("libjpeg-turbo", os.path.join(glob.glob(os.path.join(sources, "libjpeg-turbo-*"))[0], "testimages"), "*")
    for writer in sorted(os.listdir(variants)):
        add("generated-" + writer, os.path.join(variants, writer), "*/*")
    return out


# ---------------------------------------------------------------- references: RGBA, top row first
def pillow(path, fmt):
    im = Image.open(path)
    im.load()
    if im.mode.startswith("I"):
        # 16-bit grey: the high byte of each sample, which is the library's convention too.
        grey = Image.new("L", im.size)
        grey.putdata([min(255, max(0, v >> 8)) for v in im.getdata()])
        im = grey
    elif im.mode == "CMYK":
        return None  # Pillow's CMYK to RGB is 255 - (C + K), not a colour conversion
    return im.size, im.convert("RGBA").tobytes()


def magick(path, fmt):
    # A PNG's gAMA makes ImageMagick call the samples linear and re-encode them on output; the
    # samples as stored are what is compared (no reader here applies gamma).
    samples = ["-set", "colorspace", "sRGB"] if fmt == "png" else []
    done = subprocess.run(["convert", path + "[0]", *samples, "-depth", "16", "-endian", "MSB", "RGBA:-"],
                          capture_output=True, timeout=120)
    if done.returncode != 0 or not done.stdout:
        return None
    size = subprocess.run(["identify", "-format", "%w %h", path + "[0]"], capture_output=True, text=True, timeout=120)
    if size.returncode != 0:
        return None
    w, h = (int(v) for v in size.stdout.split()[:2])
    data = done.stdout[0::2]  # 16-bit samples, most significant byte first: keep the high bytes
    return ((w, h), data) if len(data) == w * h * 4 else None


def djpeg(path, fmt):
    done = subprocess.run(["djpeg", "-pnm", path], capture_output=True, timeout=120)
    if not done.stdout.startswith(b"P"):
        return None
    stream = io.BytesIO(done.stdout)
    im = Image.open(stream)
    im.load()
    return im.size, im.convert("RGBA").tobytes()


# ---------------------------------------------------------------- colour: LittleCMS through ctypes
class XyY(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double), ("Y", ctypes.c_double)]


class XyYTriple(ctypes.Structure):
    _fields_ = [("red", XyY), ("green", XyY), ("blue", XyY)]


LCMS = ctypes.CDLL(ctypes.util.find_library("lcms2") or "liblcms2.so.2")
for name, result, args in (
        ("cmsOpenProfileFromMem", ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_uint32]),
        ("cmsCreate_sRGBProfile", ctypes.c_void_p, []),
        ("cmsBuildGamma", ctypes.c_void_p, [ctypes.c_void_p, ctypes.c_double]),
        ("cmsCreateRGBProfile", ctypes.c_void_p, [ctypes.POINTER(XyY), ctypes.POINTER(XyYTriple), ctypes.c_void_p * 3]),
        ("cmsCreateGrayProfile", ctypes.c_void_p, [ctypes.POINTER(XyY), ctypes.c_void_p]),
        ("cmsD50_xyY", ctypes.POINTER(XyY), []),
        ("cmsGetHeaderRenderingIntent", ctypes.c_uint32, [ctypes.c_void_p]),
        ("cmsGetColorSpace", ctypes.c_uint32, [ctypes.c_void_p]),
        ("cmsCreateTransform", ctypes.c_void_p, [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_void_p, ctypes.c_uint32,
                                                 ctypes.c_uint32, ctypes.c_uint32]),
        ("cmsDoTransform", None, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint32])):
    getattr(LCMS, name).restype = result
    getattr(LCMS, name).argtypes = args
TYPE_RGBA_8, TYPE_GRAY_8, TYPE_RGB_8, COPY_ALPHA = 0x40099, 0x30009, 0x40019, 0x04000000
SIG_GRAY, SIG_RGB = 0x47524159, 0x52474220


def png_colour(path):
    """A PNG's colour description: ("icc", bytes), ("chrm", [white, red, green, blue as xy], gamma),
    or None (untagged or sRGB), with the grey flag; chunks whose CRC fails count as absent."""
    data = open(path, "rb").read()
    at, found = 8, {}
    grey = len(data) > 25 and data[25] in (0, 4)
    while at + 12 <= len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IDAT" or at + 12 + length > len(data):
            break
        if zlib.crc32(data[at + 4:at + 8 + length]) == struct.unpack(">I", data[at + 8 + length:at + 12 + length])[0]:
            found.setdefault(kind, body)
        at += 12 + length
    if b"iCCP" in found:
        body = found[b"iCCP"]
        zero = body.find(b"\0")
        try:
            return ("icc", zlib.decompress(body[zero + 2:])), grey
        except (zlib.error, ValueError):
            return None, grey
    if b"sRGB" in found:
        return None, grey
    chrm, gama = found.get(b"cHRM"), found.get(b"gAMA")
    if chrm and gama and len(chrm) == 32 and len(gama) == 4 and struct.unpack(">I", gama)[0]:
        v = [x / 100000 for x in struct.unpack(">8I", chrm)]
        return ("chrm", [v[i:i + 2] for i in range(0, 8, 2)], 100000 / struct.unpack(">I", gama)[0]), grey
    return None, grey


def lcms(path, fmt):
    """Pillow's samples through LittleCMS to sRGB at the profile's own intent; None when the picture
    says nothing of its colours, or LittleCMS cannot use what it says."""
    if fmt == "png":
        described, grey = png_colour(path)
    else:
        im = Image.open(path)
        profile = im.info.get("icc_profile")
        described, grey = (("icc", profile) if profile else None), im.mode in ("L", "LA")
        if im.mode == "CMYK":
            return None  # Pillow's own CMYK samples are not what the file stores
    if described is None:
        return None
    if described[0] == "icc":
        source = LCMS.cmsOpenProfileFromMem(described[1], len(described[1]))
    else:
        white, red, green, blue = (XyY(x, y, 1.0) for x, y in described[1])
        curve = LCMS.cmsBuildGamma(None, described[2])
        source = LCMS.cmsCreateGrayProfile(LCMS.cmsD50_xyY(), curve) if grey else \
            LCMS.cmsCreateRGBProfile(ctypes.byref(white), ctypes.byref(XyYTriple(red, green, blue)),
                                     (ctypes.c_void_p * 3)(curve, curve, curve))
    if not source or LCMS.cmsGetColorSpace(source) != (SIG_GRAY if grey else SIG_RGB):
        return None
    intent = LCMS.cmsGetHeaderRenderingIntent(source)
    intent = 0 if intent > 3 else intent
    # The samples as stored: ImageMagick's for PNG, where Pillow drops some grey pictures' tRNS.
    raw = (fmt == "png" and magick(path, fmt)) or pillow(path, fmt)
    if raw is None:
        return None
    size, rgba = raw
    n = size[0] * size[1]
    if grey:
        t = LCMS.cmsCreateTransform(source, TYPE_GRAY_8, LCMS.cmsCreate_sRGBProfile(), TYPE_RGB_8, intent, 0)
        if not t:
            return None
        out = ctypes.create_string_buffer(n * 3)
        LCMS.cmsDoTransform(t, bytes(rgba[0::4]), out, n)
        g = out.raw[1::3]
        converted = bytearray(rgba)
        converted[0::4], converted[1::4], converted[2::4] = g, g, g
        return size, bytes(converted)
    t = LCMS.cmsCreateTransform(source, TYPE_RGBA_8, LCMS.cmsCreate_sRGBProfile(), TYPE_RGBA_8, intent, COPY_ALPHA)
    if not t:
        return None
    out = ctypes.create_string_buffer(n * 4)
    LCMS.cmsDoTransform(t, rgba, out, n)
    return size, out.raw


DECODERS = {"pillow": pillow, "magick": magick, "djpeg": djpeg, "lcms": lcms}
# How far a reference may be and still agree: LittleCMS rounds its own way through its own tables.
TOLERANCE = {"lcms": (3, 0.5)}


def reference(decoder, path, fmt):
    try:
        return DECODERS[decoder](path, fmt)
    except Exception:  # a reference that refuses or fails: no picture from it
        return None


# ---------------------------------------------------------------- comparing
def ours_as_rgba(work, index, size):
    bgra = open(os.path.join(work, "%d.bgra" % index), "rb").read()
    out = bytearray(bgra)
    out[0::4], out[2::4] = bgra[2::4], bgra[0::4]
    return size, bytes(out)


def difference(a, b, with_mean=False):
    """The largest channel difference between two RGBA pictures (and the mean one), colour not
    compared where both are fully transparent; None when the sizes differ."""
    (sa, pa), (sb, pb) = a, b
    if sa != sb or len(pa) != len(pb):
        return None
    if pa == pb:
        return (0, 0.0) if with_mean else 0
    worst, total, count = 0, 0, 0
    for i in range(0, len(pa), 4):
        if pa[i + 3] == 0 and pb[i + 3] == 0:
            continue
        for k in range(4):
            d = abs(pa[i + k] - pb[i + k])
            total += d
            if d > worst:
                worst = d
        count += 4
    return (worst, total / max(count, 1)) if with_mean else worst


def agrees(decoder, mine, theirs):
    """The difference from a reference, and whether it counts as agreement."""
    if decoder not in TOLERANCE:
        v = difference(mine, theirs)
        return v, v == 0
    found = difference(mine, theirs, with_mean=True)
    if found is None:
        return None, False
    most, mean = TOLERANCE[decoder]
    return found[0], found[0] <= most and found[1] < mean


def load_expected(path):
    rules = []
    for line in open(path):
        if not line.strip() or line.startswith("#"):
            continue
        pattern, kind, reason = line.rstrip("\n").split("\t")
        rules.append({"pattern": pattern, "kind": kind, "reason": reason, "used": 0})
    return rules


def allowed(rules, key, kind, worst):
    for r in rules:
        if not fnmatch.fnmatch(key, r["pattern"]):
            continue
        if r["kind"] == kind or (kind == "near" and r["kind"].startswith("near ") and worst <= int(r["kind"].split()[1])) \
                or (kind in ("near", "pixels") and r["kind"] == "pixels"):
            r["used"] += 1
            return r
    return None


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--list", action="store_true")
    p.add_argument("--vekdecode")
    p.add_argument("--sources", required=True)
    p.add_argument("--variants", required=True)
    p.add_argument("--work")
    p.add_argument("--differences", default=os.path.join(HERE, "expected_differences.tsv"))
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    a = p.parse_args()
    pictures = suites(a.sources, a.variants)
    if a.list:
        for _, _, path, fmt in pictures:
            print("%s\t%s" % (fmt, path))
        return 0
    if not a.vekdecode or not a.work:
        p.error("--vekdecode and --work are needed unless --list")
    os.makedirs(a.work, exist_ok=True)
    for f in glob.glob(os.path.join(a.work, "*.bgra")):
        os.remove(f)

    listing = "".join(path + "\n" for _, _, path, _ in pictures)
    done = subprocess.run([a.vekdecode, a.work], input=listing, capture_output=True, text=True, timeout=1800)
    ours = {}
    for line in done.stdout.splitlines():
        n, result, w, h = line.split("\t")
        ours[int(n)] = (result, (int(w), int(h)))
    if done.returncode != 0 or len(ours) != len(pictures):
        stopped = pictures[len(ours)][2] if len(ours) < len(pictures) else "?"
        print("FAIL: the library stopped (exit %d) at %s: %s" % (done.returncode, stopped, done.stderr[-2000:]))
        return 1

    jobs = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=a.jobs) as pool:
        for i, (_, _, path, fmt) in enumerate(pictures):
            for decoder in REFERENCES[fmt]:
                if decoder != "pillow":  # Pillow runs below, in this process
                    jobs[(i, decoder)] = pool.submit(reference, decoder, path, fmt)
        refs = {}
        for i, (_, _, path, fmt) in enumerate(pictures):
            for decoder in REFERENCES[fmt]:
                refs[(i, decoder)] = reference(decoder, path, fmt) if decoder == "pillow" else jobs[(i, decoder)].result()

    rules = load_expected(a.differences)
    per_suite = {}
    unexpected = 0
    refusals = []
    for i, (suite, name, path, fmt) in enumerate(pictures):
        key = "%s/%s" % (suite, name)
        stats = per_suite.setdefault(suite, {"pictures": 0, "agree": 0, "expected": 0, "unexpected": 0, "with": {}})
        stats["pictures"] += 1
        result, size = ours[i]
        decoded = {d: refs[(i, d)] for d in REFERENCES[fmt] if refs[(i, d)] is not None}
        if result == "mismatch":
            kind, detail, worst = "mismatch", "file and memory decode differ", None
        elif result != "ok":
            kind = "refuse" if decoded else None
            detail, worst = "we refuse (%s); %s decode it" % (result, ", ".join(decoded)), None
        elif not decoded:
            kind, detail, worst = "decode", "only we decode it", None
        else:
            mine = ours_as_rgba(a.work, i, size)
            judged = {d: agrees(d, mine, r) for d, r in decoded.items()}
            diffs = {d: v for d, (v, _) in judged.items()}
            same = [d for d, (_, ok) in judged.items() if ok]
            if same:
                kind = None
                stats["with"][same[0]] = stats["with"].get(same[0], 0) + 1
            else:
                sized = [v for v in diffs.values() if v is not None]
                worst = min(sized) if sized else None
                kind = "near" if worst is not None else "pixels"
                detail = "differs from %s" % ", ".join(
                    "%s (%s)" % (d, "size %dx%d" % decoded[d][0] if v is None else "by up to %d" % v) for d, v in diffs.items())
        if result.startswith("error"):
            refusals.append("%s: %s" % (key, result))
        if kind is None:
            stats["agree"] += 1
            continue
        rule = allowed(rules, key, kind, worst if worst is not None else 999)
        if rule:
            stats["expected"] += 1
        else:
            stats["unexpected"] += 1
            unexpected += 1
            print("UNEXPECTED %s: %s" % (key, detail))

    # Every refusal with the library's reason, as vekhost would print it.
    print()
    for line in refusals:
        print("refused " + line)
    print()
    print("%-22s %8s %7s %9s %11s  agreement by reference" % ("suite", "pictures", "agree", "expected", "unexpected"))
    for suite, s in per_suite.items():
        by = ", ".join("%s %d" % kv for kv in sorted(s["with"].items()))
        print("%-22s %8d %7d %9d %11d  %s" % (suite, s["pictures"], s["agree"], s["expected"], s["unexpected"], by))
    print()
    for r in rules:
        print("%4d  %-40s %-8s %s" % (r["used"], r["pattern"], r["kind"], r["reason"]))
    print("\n%d pictures, %d unexpected differences" % (len(pictures), unexpected))
    return 1 if unexpected else 0


if __name__ == "__main__":
    sys.exit(main())
