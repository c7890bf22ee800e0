#!/usr/bin/python3
"""Writes the generated part of the conformance suites: BMP, TGA, PSD and DDS (and a few PNG, GIF
and JPEG variants) in every header, depth, compression, origin and mask combination at several odd
sizes, written by Pillow, ImageMagick, GraphicsMagick, the netpbm tools, NVIDIA's texture tools,
GIMP in batch mode, and by hand (the fixture scripts' byte writers, for what no program writes).

    make_variants.py OUTDIR

Files land in OUTDIR/<writer>/<format>/; a variant a writer cannot produce is left out."""
import io
import os
import shutil
import struct
import subprocess
import sys

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "fixtures"))
import gif_lzw  # noqa: E402
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
        modes["1"].save(target("pillow", "tga", "1-%s.tga" % tag))
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
        magick(src, "PSB:" + target("magick", "psd", "psb-rgb-%s.psb" % tag), "-type", "TrueColor")
        for kind in ("palette", "rgb", "rgba"):
            magick(src, "DIB:" + target("magick", "dib", "%s-%s.dib" % (kind, tag)), *types[kind])
        for subtype in ("RGB555", "RGB565", "ARGB4444", "ARGB1555"):
            magick(src, "BMP:" + target("magick", "bmp", "subtype-%s-%s.bmp" % (subtype.lower(), tag)), "-define",
                   "bmp:subtype=" + subtype)
        magick(src, target("magick", "psd", "grey16-%s.psd" % tag), "-colorspace", "Gray", "-depth", "16")
        magick(src, target("magick", "psd", "cmyk16-%s.psd" % tag), "-colorspace", "CMYK", "-depth", "16")
        magick(src, target("magick", "jpeg", "cmyk-%s.jpg" % tag), "-colorspace", "CMYK")
        magick(src, target("magick", "gif", "offset-%s.gif" % tag), "-page", "%dx%d+2+1" % (w + 3, h + 2))
        for compression in ("dxt1", "dxt3", "dxt5", "none"):
            for alpha in (False, True):
                name = "%s%s-%s.dds" % (compression, "-alpha" if alpha else "", tag)
                magick(src, target("magick", "dds", name), "-define", "dds:compression=" + compression,
                       "-define", "dds:mipmaps=0", *([] if alpha else ["-alpha", "off"]))


def tagged(name, tag):
    """NAME.EXT as NAME-TAG.EXT."""
    stem, ext = os.path.splitext(name)
    return "%s-%s%s" % (stem, tag, ext)


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, **kwargs).returncode == 0


def gm_variants():
    """GraphicsMagick, a separate descendant of ImageMagick's code with writers of its own."""
    for w, h in SIZES:
        tag = "%dx%d" % (w, h)
        src = target("gm", "source", "%s.png" % tag)
        picture(w, h).save(src)
        types = {"bilevel": ["-type", "Bilevel"], "grey": ["-type", "Grayscale"], "palette": ["-type", "Palette"],
                 "rgb": ["-type", "TrueColor"], "rgba": ["-type", "TrueColorMatte"]}
        for kind, options in types.items():
            for flavour in ("BMP2", "BMP3", "BMP"):
                run(["gm", "convert", src, *options, "%s:%s" % (flavour, target("gm", "bmp", "%s-%s-%s.bmp" % (flavour.lower(), kind, tag)))])
            for rle in (False, True):
                run(["gm", "convert", src, *options, "-compress", "RLE" if rle else "None",
                     target("gm", "tga", "%s%s-%s.tga" % (kind, "-rle" if rle else "", tag))])
            run(["gm", "convert", src, *options, target("gm", "gif", "%s-%s.gif" % (kind, tag))])
            run(["gm", "convert", src, *options, target("gm", "png", "%s-%s.png" % (kind, tag))])
        run(["gm", "convert", src, "-interlace", "Line", target("gm", "jpeg", "progressive-%s.jpg" % tag)])
        run(["gm", "convert", src, target("gm", "jpeg", "baseline-%s.jpg" % tag)])


def netpbm_variants():
    """The netpbm tools: Windows and OS/2 bitmaps, every TGA kind they write, GIF and PNG."""
    for w, h in SIZES:
        tag = "%dx%d" % (w, h)
        base = picture(w, h)
        rgb, grey = target("netpbm", "source", "%s.ppm" % tag), target("netpbm", "source", "%s.pgm" % tag)
        few = target("netpbm", "source", "%s-16.ppm" % tag)
        bw = target("netpbm", "source", "%s.pbm" % tag)
        base.convert("RGB").save(rgb)
        base.convert("L").save(grey)
        base.convert("1").save(bw)
        base.convert("RGB").quantize(colors=16).convert("RGB").save(few)
        alpha = target("netpbm", "source", "%s.pam" % tag)
        with open(alpha, "wb") as f:
            f.write(b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" % (w, h) + base.tobytes())

        def out(fmt, name, command, source):
            with open(target("netpbm", fmt, tagged(name, tag)), "wb") as f:
                if subprocess.run(command + [source], stdout=f, stderr=subprocess.DEVNULL).returncode != 0:
                    os.remove(f.name)

        for system in ("windows", "os2"):
            for bits, source in ((1, bw), (4, few), (8, few), (24, rgb)):
                out("bmp", "%s-%d.bmp" % (system, bits), ["ppmtobmp", "-" + system, "-bpp=%d" % bits], source)
        # OS/2 1.x headers count no palette entries: the table is what lies before the pixels.
        # netpbm's 8-bit file with its table cut to the 16 colours used, as other writers store it.
        with open(target("netpbm", "bmp", tagged("os2-8.bmp", tag)), "rb") as f:
            whole = f.read()
        start, offset = 26, struct.unpack("<I", whole[10:14])[0]
        short = whole[:start + 16 * 3] + whole[offset:]
        short = short[:2] + struct.pack("<I", len(short)) + short[6:10] + struct.pack("<I", start + 16 * 3) + short[14:]
        with open(target("netpbm", "bmp", tagged("os2-8-short-table.bmp", tag)), "wb") as f:
            f.write(short)
        for kind, source in (("cmap", few), ("mono", grey), ("rgb", rgb)):
            out("tga", "%s-rle.tga" % kind, ["pamtotga", "-" + kind], source)
            out("tga", "%s.tga" % kind, ["pamtotga", "-" + kind, "-norle"], source)
        out("tga", "rgba-rle.tga", ["pamtotga"], alpha)
        out("tga", "rgba.tga", ["pamtotga", "-norle"], alpha)
        out("gif", "palette.gif", ["pamtogif"], few)
        out("gif", "interlaced.gif", ["pamtogif", "-interlace"], few)
        out("png", "rgb.png", ["pnmtopng"], rgb)
        out("png", "grey-interlaced.png", ["pnmtopng", "-interlace"], grey)


def libjpeg_variants():
    """libjpeg-turbo's own cjpeg: every coding process and option it writes."""
    for w, h in SIZES:
        tag = "%dx%d" % (w, h)
        rgb, grey = target("cjpeg", "source", "%s.ppm" % tag), target("cjpeg", "source", "%s.pgm" % tag)
        picture(w, h).convert("RGB").save(rgb)
        picture(w, h).convert("L").save(grey)
        for name, options, source in (("baseline", [], rgb), ("progressive", ["-progressive"], rgb),
                                      ("arithmetic", ["-arithmetic"], rgb),
                                      ("arithmetic-progressive", ["-arithmetic", "-progressive"], rgb),
                                      ("restart", ["-restart", "1"], rgb), ("optimized", ["-optimize"], rgb),
                                      ("grey", [], grey), ("grey-progressive", ["-progressive"], grey),
                                      ("rgb", ["-rgb"], rgb), ("subsampled-411", ["-sample", "4x1"], rgb)):
            run(["cjpeg", *options, "-outfile", target("cjpeg", "jpeg", "%s-%s.jpg" % (name, tag)), source])


def gif_tool_variants():
    """giflib's gifbuild and gifsicle: frames without a global palette, with a local one, placed off
    the screen's corner, interlaced."""
    for w, h in SIZES:
        tag = "%dx%d" % (w, h)
        src = target("giftools", "source", "%s.png" % tag)
        picture(w, h).convert("RGB").save(src)
        plain = target("giftools", "source", "%s.gif" % tag)
        magick(src, plain, "-colors", "64")
        dump = subprocess.run(["gifbuild", "-d", plain], capture_output=True, text=True).stdout
        # The screen's palette moved to the frame, which the screen then frames with a margin.
        local = dump.replace("screen map", "image map", 1)
        local = local.replace("screen width %d" % w, "screen width %d" % (w + 3))
        local = local.replace("screen height %d" % h, "screen height %d" % (h + 2))
        local = local.replace("image left 0", "image left 2").replace("image top 0", "image top 1")
        moved = local.index("image map")
        table_end = local.index("end\n", moved) + 4
        table = local[moved:table_end]
        local = local[:moved] + local[table_end:]
        local = local.replace("image top 1\n", "image top 1\n" + table, 1)
        for name, text in (("local-palette-offset", local), ("local-palette-interlaced",
                                                            local.replace("image top 1\n", "image top 1\nimage interlaced\n", 1))):
            with open(target("giftools", "gif", "%s-%s.gif" % (name, tag)), "wb") as f:
                subprocess.run(["gifbuild"], input=text.encode(), stdout=f, stderr=subprocess.DEVNULL)
        run(["gifsicle", "--no-warnings", "-S", "%dx%d" % (w + 4, h + 4), "-p", "3,2", plain, "-o",
             target("giftools", "gif", "gifsicle-offset-%s.gif" % tag)])
        run(["gifsicle", "--no-warnings", "-i", plain, "-o", target("giftools", "gif", "gifsicle-interlaced-%s.gif" % tag)])
        run(["gifsicle", "--no-warnings", "--transparent", "#000000", "-S", "%dx%d" % (w + 2, h), plain, "-o",
             target("giftools", "gif", "gifsicle-transparent-wider-%s.gif" % tag)])


def nvtt_variants():
    """NVIDIA's texture tools: every block format they write, and uncompressed BGRA."""
    for w, h in SIZES:
        tag = "%dx%d" % (w, h)
        src = target("nvtt", "source", "%s.png" % tag)
        picture(w, h).save(src)
        for codec in ("bc1", "bc1a", "bc2", "bc3", "bc4", "bc5", "rgb"):
            run(["nvcompress", "-nomips", "-" + codec, src, target("nvtt", "dds", "%s-%s.dds" % (codec, tag))])


def gimp_variants():
    """GIMP in batch mode: RLE4 and the other bitmaps it writes, PSD, and its many DDS layouts.
    (Its TGA writer needs a display, which batch mode does not have.)"""
    lines = ["""(define (load f) (car (gimp-file-load RUN-NONINTERACTIVE f f)))
(define (save proc img out . args)
  (catch #f (apply proc (append (list RUN-NONINTERACTIVE img (car (gimp-image-get-active-drawable img)) out out) args))))
(define (indexed f n) (let ((img (load f))) (gimp-image-convert-indexed img CONVERT-DITHER-NONE CONVERT-PALETTE-GENERATE n FALSE FALSE "") img))
(define (grey f) (let ((img (load f))) (gimp-image-convert-grayscale img) img))"""]
    for w, h in ((5, 4), (33, 9)):
        tag = "%dx%d" % (w, h)
        rgba, rgb = target("gimp", "source", "%s-rgba.png" % tag), target("gimp", "source", "%s-rgb.png" % tag)
        picture(w, h).save(rgba)
        picture(w, h).convert("RGB").save(rgb)
        name = lambda fmt, n: '"%s"' % target("gimp", fmt, tagged(n, tag))
        for colours, bits in ((16, 4), (200, 8)):
            for rle in (0, 1):
                lines.append('(save file-bmp-save2 (indexed "%s" %d) %s %d 0 0)' % (rgb, colours, name("bmp", "indexed%d%s.bmp" % (bits, "-rle" if rle else "")), rle))
        lines.append('(save file-bmp-save2 (grey "%s") %s 0 0 0)' % (rgb, name("bmp", "grey.bmp")))
        for code, fmt in enumerate(("rgb565", "rgba5551", "rgb555", "rgb888", "rgba8888", "rgbx8888")):
            for space in (0, 1):
                source = rgba if "a" in fmt[3:] else rgb
                lines.append('(save file-bmp-save2 (load "%s") %s 0 %d %d)' % (source, name("bmp", "%s%s.bmp" % (fmt, "-v5" if space else "")), space, code))
        for kind, image in (("rgb", '(load "%s")' % rgb), ("rgba", '(load "%s")' % rgba), ("grey", '(grey "%s")' % rgb),
                            ("indexed", '(indexed "%s" 50)' % rgb)):
            for compression, cname in ((0, "raw"), (2, "packbits")):
                lines.append('(save file-psd-save %s %s %d 0)' % (image, name("psd", "%s-%s.psd" % (kind, cname)), compression))
        dds_tail = "-1 0 0 0 0 2.2 0 0 0.5"
        for code, fmt in enumerate(("default", "rgb8", "rgba8", "bgr8", "abgr8", "r5g6b5", "rgba4", "rgb5a1", "rgb10a2", "r3g3b2",
                                    "a8", "l8", "l8a8")):
            lines.append('(save file-dds-save (load "%s") %s 0 0 0 %d %s)' % (rgba, name("dds", fmt + ".dds"), code, dds_tail))
        lines.append('(save file-dds-save (grey "%s") %s 0 0 0 0 %s)' % (rgb, name("dds", "grey-default.dds"), dds_tail))
        lines.append('(save file-dds-save (indexed "%s" 50) %s 0 0 0 0 %s)' % (rgb, name("dds", "indexed-p8.dds"), dds_tail))
        for code, fmt in ((1, "bc1"), (2, "bc2"), (3, "bc3"), (5, "bc4"), (6, "bc5")):
            lines.append('(save file-dds-save (load "%s") %s %d 0 0 0 %s)' % (rgba, name("dds", fmt + ".dds"), code, dds_tail))
    lines.append("(gimp-quit 0)")
    home = target("gimp", "home", "")
    run(["gimp", "-i", "-n", "-d", "-f", "-b", "-"], input="\n".join(lines).encode(), timeout=600,
        env=dict(os.environ, HOME=home, XDG_CONFIG_HOME=home, XDG_CACHE_HOME=home))
    shutil.rmtree(home, ignore_errors=True)


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
    # GIF at LZW code sizes 9 to 11, which no common writer emits: the fixture scripts' encoder,
    # every kind of code among them.
    for w, h in SIZES:
        indices = [(x * 7 + y * 13 + (x * y) % 5) % 200 for y in range(h) for x in range(w)]
        palette = bytes(c for i in range(256) for c in ((i * 7) % 256, (i * 13) % 256, (255 - i) % 256))
        for size in (9, 10, 11):
            head = b"GIF89a" + struct.pack("<HHBBB", w, h, 0xF7, 0, 0) + palette
            frame = b"\x2c" + struct.pack("<HHHHB", 0, 0, w, h, 0) + gif_lzw.encode(indices, size)[0] + b"\x3b"
            with open(target("byhand", "gif", "code-size-%d-%dx%d.gif" % (size, w, h)), "wb") as f:
                f.write(head + frame)


pillow_variants()
magick_variants()
gm_variants()
netpbm_variants()
libjpeg_variants()
gif_tool_variants()
nvtt_variants()
gimp_variants()
by_hand_variants()
