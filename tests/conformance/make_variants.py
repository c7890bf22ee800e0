#!/usr/bin/python3
"""Writes the generated part of the conformance suites: BMP, TGA, PSD and DDS (and a few PNG, GIF
and JPEG variants) in every header, depth, compression, origin and mask combination at several odd
sizes, written by Pillow, by ImageMagick and by hand (the fixture scripts' byte writers).

    make_variants.py OUTDIR

Files land in OUTDIR/<writer>/<format>/; a variant a writer cannot produce is left out."""
import io
import os
import subprocess
import sys

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "fixtures"))
import make_bmp_tga  # noqa: E402
import make_dds  # noqa: E402
import make_psd  # noqa: E402

OUT = sys.argv[1]
SIZES = [(1, 1), (2, 3), (5, 4), (16, 16), (33, 9)]


def target(writer, fmt, name):
    folder = os.path.join(OUT, writer, fmt)
    os.makedirs(folder, exist_ok=True)
    return os.path.join(folder, name)


def picture(w, h):
    """RGBA with every kind of alpha: opaque, clear and partial, and colours that use every bit."""
    im = Image.new("RGBA", (w, h))
    px = im.load()
    for y in range(h):
        for x in range(w):
            a = 255 if (x + y) % 4 == 0 else 0 if (x + y) % 4 == 1 else (x * 61 + y * 23) % 256
            px[x, y] = ((x * 37 + y * 11) % 256, (y * 53 + 7 + x) % 256, (x * y * 5 + 90) % 256, a)
    return im


def pillow_variants():
    for w, h in SIZES:
        base = picture(w, h)
        tag = "%dx%d" % (w, h)
        modes = {"1": base.convert("1"), "L": base.convert("L"), "LA": base.convert("LA"),
                 "P": base.convert("RGB").quantize(colors=50), "RGB": base.convert("RGB"), "RGBA": base}
        for mode in ("1", "L", "P", "RGB", "RGBA"):
            modes[mode].save(target("pillow", "bmp", "%s-%s.bmp" % (mode, tag)))
        for mode in ("L", "LA", "P", "RGB", "RGBA"):
            for rle in (False, True):
                for orientation in (1, -1):
                    name = "%s-%s%s-%s.tga" % (mode, "rle-" if rle else "", "top" if orientation == -1 else "bottom", tag)
                    options = {"compression": "tga_rle"} if rle else {}
                    modes[mode].save(target("pillow", "tga", name), orientation=orientation, **options)
        for mode in ("RGB", "RGBA"):
            modes[mode].save(target("pillow", "dds", "%s-%s.dds" % (mode, tag)))
        # A few of the formats the public suites cover, at these sizes too.
        for mode in ("1", "L", "LA", "P", "RGB", "RGBA"):
            modes[mode].save(target("pillow", "png", "%s-%s.png" % (mode, tag)))
        for mode in ("P", "L"):
            modes[mode].save(target("pillow", "gif", "%s-%s.gif" % (mode, tag)))
        modes["P"].save(target("pillow", "gif", "P-transparent-%s.gif" % tag), transparency=3)
        for mode in ("L", "RGB", "CMYK"):
            (base.convert(mode) if mode != "RGB" else modes["RGB"]).save(target("pillow", "jpeg", "%s-%s.jpg" % (mode, tag)),
                                                                         quality=90)


def magick(source, dest, *options):
    done = subprocess.run(["convert", source, *options, dest], capture_output=True)
    if done.returncode != 0 and os.path.exists(dest.split(":", 1)[-1]):
        os.remove(dest.split(":", 1)[-1])


def magick_variants():
    for w, h in SIZES:
        tag = "%dx%d" % (w, h)
        src = target("magick", "source", "%s.png" % tag)
        picture(w, h).save(src)
        types = {"bilevel": ["-type", "Bilevel"], "grey": ["-type", "Grayscale"], "palette": ["-type", "Palette"],
                 "palette-alpha": ["-type", "PaletteAlpha"], "rgb": ["-type", "TrueColor"],
                 "rgba": ["-type", "TrueColorAlpha"]}
        for kind, options in types.items():
            for flavour in ("BMP2", "BMP3", "BMP"):
                magick(src, "%s:%s" % (flavour, target("magick", "bmp", "%s-%s-%s.bmp" % (flavour.lower(), kind, tag))), *options)
            if kind in ("palette", "grey"):
                magick(src, "BMP3:" + target("magick", "bmp", "bmp3-%s-rle-%s.bmp" % (kind, tag)), *options, "-compress", "RLE")
            for rle in (False, True):
                name = "%s%s-%s.tga" % (kind, "-rle" if rle else "", tag)
                magick(src, target("magick", "tga", name), *options, *(["-compress", "RLE"] if rle else ["-compress", "None"]))
            for rle in (False, True):
                name = "%s%s-%s.psd" % (kind, "-rle" if rle else "", tag)
                magick(src, target("magick", "psd", name), *options, "-compress", "RLE" if rle else "None")
        magick(src, target("magick", "psd", "cmyk-%s.psd" % tag), "-colorspace", "CMYK")
        magick(src, target("magick", "psd", "rgb16-%s.psd" % tag), "-depth", "16", "-type", "TrueColor")
        magick(src, target("magick", "tga", "rgb-bottom-%s.tga" % tag), "-type", "TrueColor", "-orient", "BottomLeft")
        for compression in ("dxt1", "dxt3", "dxt5", "none"):
            for alpha in (False, True):
                name = "%s%s-%s.dds" % (compression, "-alpha" if alpha else "", tag)
                magick(src, target("magick", "dds", name), "-define", "dds:compression=" + compression,
                       "-define", "dds:mipmaps=0", *([] if alpha else ["-alpha", "off"]))


def by_hand_variants():
    """The fixture scripts' own byte writers, at other sizes: every header, depth, compression,
    origin and mask they write."""
    def writer(fmt, tag):
        return lambda name, data: open(target("byhand", fmt, "%s-%s" % (tag, name)), "wb").write(data)

    ignore = lambda *args, **kwargs: None
    for w, h in SIZES + [(13, 7)]:
        tag = "%dx%d" % (w, h)
        make_bmp_tga.W, make_bmp_tga.H = w, h
        make_psd.W, make_psd.H = w, h
        for fmt, run in (("bmp", make_bmp_tga.bmp_fixtures), ("tga", make_bmp_tga.tga_fixtures),
                         ("psd", make_psd.psd_fixtures)):
            try:
                run(writer(fmt, tag), ignore, ignore)
            except (IndexError, ValueError, ZeroDivisionError):
                pass  # a writer that needs a larger picture; its files so far stay
    make_dds.dds_fixtures(writer("dds", "12x8"), ignore, ignore)


pillow_variants()
magick_variants()
by_hand_variants()
