#!/usr/bin/python3
"""Layers as other programs write them, drawn by the library and checked against pictures computed
here, outside it.

ag-psd (npm) writes files without merged pictures (make_layers.js): the same layers at 8, 16 and
32 bits, PackBits and ZIP, PSD and PSB; every blend mode; a fill layer, adjustment layers and a
shape with no pixels. ImageMagick writes layered 8-bit PackBits and 16-bit ZIP files, which keep a
merged picture: its "has real merged data" mark is cleared here so that the layers are drawn. GIMP
writes transparent merged pictures with Photoshop's white matte, at 8 and 16 bits.

  writers.py VEKHOST VEKDECODE|- AG_PSD_MODULE WORKDIR
"""
import os
import struct
import subprocess
import sys

import numpy as np
from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
failures = []


def check(name, ok, detail=""):
    print(f"{'ok  ' if ok else 'FAIL'} {name}{': ' + detail if detail else ''}")
    if not ok:
        failures.append(name)


def decoded(vekhost, path):
    """RGBA as the library hands it over (straight alpha)."""
    out = path + ".png"
    r = subprocess.run([vekhost, "--quiet", "decode", path, "-o", out], capture_output=True, text=True)
    if r.returncode != 0:
        return None
    return np.asarray(Image.open(out).convert("RGBA")).astype(float)


def ramp(w, h, fn):
    y, x = np.mgrid[0:h, 0:w]
    return np.stack([np.broadcast_to(np.asarray(v, dtype=float), (h, w)) for v in fn(x, y)], axis=-1)


# The blend modes from their definitions (PDF's blend modes, which took them from Photoshop, with
# Photoshop's soft light), over 0..1 backdrop b and source s.
def lum(c):
    return 0.3 * c[..., 0] + 0.59 * c[..., 1] + 0.11 * c[..., 2]


def clip_colour(c):
    l = lum(c)[..., None]
    n, x = c.min(axis=-1, keepdims=True), c.max(axis=-1, keepdims=True)
    c = np.where(n < 0, l + (c - l) * l / np.maximum(l - n, 1e-9), c)
    return np.where(x > 1, l + (c - l) * (1 - l) / np.maximum(x - l, 1e-9), c)


def set_lum(c, l):
    return clip_colour(c + (l - lum(c))[..., None])


def set_sat(c, s):
    lo, hi = c.min(axis=-1, keepdims=True), c.max(axis=-1, keepdims=True)
    return np.where(hi > lo, (c - lo) * s[..., None] / np.maximum(hi - lo, 1e-9), 0.0)


def sat(c):
    return c.max(axis=-1) - c.min(axis=-1)


def blend(mode, b, s):
    with np.errstate(divide="ignore", invalid="ignore"):
        separable = {
            "normal": s, "darken": np.minimum(b, s), "multiply": b * s, "lighten": np.maximum(b, s),
            "screen": b + s - b * s, "linear-burn": np.maximum(0, b + s - 1), "linear-dodge": np.minimum(1, b + s),
            "color-burn": np.where(b >= 1, 1, np.where(s <= 0, 0, 1 - np.minimum(1, (1 - b) / s))),
            "color-dodge": np.where(b <= 0, 0, np.where(s >= 1, 1, np.minimum(1, b / (1 - s)))),
            "overlay": np.where(b <= 0.5, 2 * s * b, 1 - 2 * (1 - s) * (1 - b)),
            "hard-light": np.where(s <= 0.5, 2 * s * b, 1 - 2 * (1 - s) * (1 - b)),
            "soft-light": np.where(s <= 0.5, b - (1 - 2 * s) * b * (1 - b), b + (2 * s - 1) * (np.sqrt(b) - b)),
            "vivid-light": np.where(s <= 0.5, np.where(s <= 0, 0, 1 - np.minimum(1, (1 - b) / (2 * s))),
                                    np.where(s >= 1, 1, np.minimum(1, b / (2 * (1 - s))))),
            "linear-light": np.clip(b + 2 * s - 1, 0, 1),
            "pin-light": np.where(s <= 0.5, np.minimum(b, 2 * s), np.maximum(b, 2 * s - 1)),
            "hard-mix": (b + s >= 1).astype(float),
            "difference": np.abs(b - s), "exclusion": b + s - 2 * b * s, "subtract": np.maximum(0, b - s),
            "divide": np.where(s <= 0, (b > 0).astype(float), np.minimum(1, b / s)),
        }
    if mode in separable:
        return separable[mode]
    return {
        "hue": lambda: set_lum(set_sat(s, sat(b)), lum(b)),
        "saturation": lambda: set_lum(set_sat(b, sat(s)), lum(b)),
        "color": lambda: set_lum(s, lum(b)),
        "luminosity": lambda: set_lum(b, lum(s)),
        "darker-color": lambda: np.where((lum(s) < lum(b))[..., None], s, b),
        "lighter-color": lambda: np.where((lum(s) > lum(b))[..., None], s, b),
    }[mode]()


def modes(vekhost, work):
    back = ramp(64, 64, lambda x, y: (x * 4, y * 4, 128)) / 255
    top = ramp(64, 64, lambda x, y: (255 - x * 4, (x + y) * 2, y * 4)) / 255
    a = 200 / 255
    # Hard mix at full fill is a threshold; ag-psd's 8-bit rounding can tip a sum lying on 1.
    tie = np.abs(back + top - 1) < 1.5 / 255
    for name in sorted(os.listdir(work)):
        if not (name.startswith("mode-") and name.endswith(".psd")):
            continue
        mode = name[5:-4]
        got = decoded(vekhost, os.path.join(work, name))
        want = np.round(((1 - a) * back + a * blend(mode, back, top)) * 255)
        if got is None:
            check(name, False, "not decoded")
            continue
        err = np.abs(got[..., :3] - want)
        if mode == "hard-mix":
            err[tie] = 0
        if mode.endswith("-color") and mode != "color":  # equal lightness: either colour is right
            err[np.abs(lum(back) - lum(top)) < 1e-3] = 0
        check(name, err.max() <= 2 and (got[..., 3] == 255).all(), f"off by up to {err.max():.0f}")


def depths(vekhost, work):
    """The same layers at every depth, compression and container: one picture."""
    first = decoded(vekhost, os.path.join(work, "depth-8-packbits.psd"))
    for name in ("depth-8-zip.psd", "depth-16-zip.psd", "depth-16.psb"):
        got = decoded(vekhost, os.path.join(work, name))
        ok = got is not None and first is not None and got.shape == first.shape
        err = np.abs(got - first).max() if ok else -1
        check(name + " as depth-8-packbits.psd", ok and err <= 1, f"off by up to {err:.0f}")
    # The structure file's layers composited here: groups, clipping, a mask, a hidden layer.
    plain8 = decoded(vekhost, os.path.join(work, "plain-8.psd"))
    plain32 = decoded(vekhost, os.path.join(work, "plain-32-zip.psd"))
    want = ramp(32, 24, lambda x, y: (x * 8, y * 10, 200))
    want[4:16, 4:24] = ramp(20, 12, lambda x, y: (255, 255 - x * 12, 0))
    check("plain-8.psd", plain8 is not None and np.abs(plain8[..., :3] - want).max() <= 0)
    # A 32-bit document's samples are linear light and shown as they are stored.
    linear = np.round(255 * (want / 255) ** 2.2)
    check("plain-32-zip.psd", plain32 is not None and np.abs(plain32[..., :3] - linear).max() <= 1)


def fills_and_adjustments(vekhost, work):
    back = ramp(64, 64, lambda x, y: (x * 4, y * 4, (x * y) & 255))
    fill = back.copy()
    fill[:, :32] = np.round(back[:, :32] * 0.5 + np.array([20, 200, 90]) * 0.5)
    v = back / 255
    lo, hi = 30, 220
    levels = 10 + (np.clip((back - lo) / (hi - lo), 0, 1) ** (1 / 1.5)) * 230
    y = 0.3 * back[..., 0] + 0.59 * back[..., 1] + 0.11 * back[..., 2]
    expected = {
        "fill-solid.psd": (fill, 1),
        "adjust-invert.psd": (255 - back, 0),
        "adjust-posterize.psd": (np.minimum(np.floor(v * 4), 3) * 85, 0),
        "adjust-levels.psd": (np.round(levels), 1),
    }
    for name, (want, tolerance) in expected.items():
        got = decoded(vekhost, os.path.join(work, name))
        err = np.abs(got[..., :3] - want).max() if got is not None else -1
        check(name, got is not None and 0 <= err <= tolerance, f"off by up to {err:.0f}")
    got = decoded(vekhost, os.path.join(work, "adjust-threshold.psd"))
    want = np.where(y >= 127.5, 255, 0)[..., None]
    clear = np.abs(y - 127.5) > 1  # lightness on the level itself may go either way
    wrong = (got[..., :3] != want)[clear].sum() if got is not None else -1
    check("adjust-threshold.psd", got is not None and wrong == 0, f"{wrong} pixels on the wrong side")
    # The shape: a rectangle and a triangle of (250, 250, 250) with anti-aliased edges.
    got = decoded(vekhost, os.path.join(work, "shape.psd"))
    if got is None:
        check("shape.psd", False, "not decoded")
        return
    t = np.clip((got[..., :3] - back) / np.where(np.abs(250 - back) < 1, 1, 250 - back), 0, 1)
    cover = np.median(t, axis=-1)
    area = cover.sum()
    inside = got[10:22, 10:38, :3]
    check("shape.psd", (inside == 250).all() and abs(area - (32 * 16 + 44 * 20 / 2)) < 8,
          f"covered area {area:.1f} of {32 * 16 + 44 * 20 / 2:.0f}")


def information(vekhost, work):
    """The information query reports what the drawing will be: 32 bits where it leaves
    transparency, 24 where it is opaque; the decode agrees."""
    for name, bits in (("transparent.psd", 32), ("plain-8.psd", 24), ("depth-16.psb", 48)):
        path = os.path.join(work, name)
        r = subprocess.run([vekhost, "query", path], capture_output=True, text=True)
        said = f"{bits} bits a pixel" in r.stdout
        got = decoded(vekhost, path)
        check(f"{name} query", said and got is not None, r.stdout.strip())
        if name == "transparent.psd":
            transparent = got
    # The plug-in shows its checkerboard, white and grey, where the drawing is clear.
    got = transparent
    clear = got is not None and all(len(set(got[y, x, :3])) == 1 for y, x in ((0, 0), (31, 31), (0, 31)))
    check("transparent.psd clear outside the layer", clear)


def with_layers_drawn(data):
    """ImageMagick's layered file as a file without a merged picture: a version-information
    resource (1057) that says so, added to the resources."""
    d = bytearray(data)
    pos = 26 + 4 + struct.unpack(">I", d[26:30])[0]
    size = struct.unpack(">I", d[pos:pos + 4])[0]
    body = struct.pack(">I", 1) + b"\x00" + struct.pack(">I", 0) + struct.pack(">I", 0) + struct.pack(">I", 1)
    resource = b"8BIM" + struct.pack(">H", 1057) + b"\x00\x00" + struct.pack(">I", len(body)) + body
    resource += b"\x00" * (len(resource) % 2)
    return bytes(d[:pos]) + struct.pack(">I", size + len(resource)) + bytes(d[pos + 4:pos + 4 + size]) + resource + bytes(d[pos + 4 + size:])


def imagemagick(vekhost, work):
    """Layers at offsets, partly transparent, written by ImageMagick, against their composite here."""
    w, h = 40, 30
    back = ramp(w, h, lambda x, y: (x * 6, y * 8, 100, 255))
    one = ramp(18, 12, lambda x, y: (220, x * 14, 40, 80 + x * 9))
    two = ramp(14, 20, lambda x, y: (30, 200, y * 12, 255 - y * 10))
    layers = [(back, 0, 0), (one, 5, 3), (two, 20, 8)]
    files = []
    for i, (pixels, _, _) in enumerate(layers):
        files.append(os.path.join(work, f"im-layer{i}.png"))
        Image.fromarray(pixels.astype(np.uint8), "RGBA").save(files[-1])
    # The composite, straight alpha over an opaque backdrop.
    want = back[..., :3].copy()
    for pixels, x, y in layers[1:]:
        a = pixels[..., 3:] / 255
        region = want[y:y + pixels.shape[0], x:x + pixels.shape[1]]
        region[:] = (1 - a) * region + a * pixels[..., :3]
    pages = []
    for path, (pixels, x, y) in zip(files, layers):
        pages += ["(", path, "-repage", f"{w}x{h}+{x}+{y}", ")"]
    for name, options in (("im-8-rle.psd", ["-depth", "8", "-compress", "RLE"]),
                          ("im-16-zip.psd", ["-depth", "16", "-compress", "Zip"])):
        path = os.path.join(work, name)
        # The first image is the merged picture, the rest the layers.
        r = subprocess.run(["convert", files[0]] + pages + options + [path], capture_output=True, text=True)
        if r.returncode != 0:
            check(name, False, "ImageMagick: " + r.stderr.strip())
            continue
        drawn = path[:-4] + "-drawn.psd"
        with open(path, "rb") as f, open(drawn, "wb") as out:
            out.write(with_layers_drawn(f.read()))
        got = decoded(vekhost, drawn)
        err = np.abs(got[..., :3] - want).max() if got is not None else -1
        check(name, got is not None and 0 <= err <= 1, f"off by up to {err:.0f}")


def gimp_matte(vekdecode, work):
    """GIMP stores a transparent PSD's merged colours blended with white, as Photoshop does: with the
    white taken off they are the colours GIMP was given, at 8 and 16 bits."""
    y, x = np.mgrid[0:9, 0:33]
    alpha = np.where((x + y) % 4 == 0, 255, np.where((x + y) % 4 == 1, 0, (x * 61 + y * 23) % 256))
    source = np.stack([(x * 37 + y * 11) % 256, (y * 53 + 7 + x) % 256, (x * y * 5 + 90) % 256, alpha], -1)
    png = os.path.join(work, "gimp-source.png")
    Image.fromarray(source.astype(np.uint8), "RGBA").save(png)
    script = ['(define (save img out) (file-psd-save RUN-NONINTERACTIVE img (car (gimp-image-get-active-drawable img)) out out 0 0))']
    for bits, precision in ((8, ""), (16, "(gimp-image-convert-precision img PRECISION-U16-GAMMA)")):
        out = os.path.join(work, f"gimp-{bits}.psd")
        script.append(f'(let ((img (car (gimp-file-load RUN-NONINTERACTIVE "{png}" "{png}")))) {precision} (save img "{out}"))')
    script.append("(gimp-quit 0)")
    home = os.path.join(work, "gimp-home")
    subprocess.run(["gimp", "-i", "-n", "-d", "-f", "-b", "-"], input="\n".join(script).encode(), capture_output=True,
                   timeout=300, env=dict(os.environ, HOME=home, XDG_CONFIG_HOME=home, XDG_CACHE_HOME=home))
    # The stored colour is rounded to 8 bits (16-bit samples are reduced to 8 before the white comes
    # off): taking the white off multiplies that half level by 255 / alpha.
    for bits in (8, 16):
        path = os.path.join(work, f"gimp-{bits}.psd")
        r = subprocess.run([vekdecode, work], input=path + "\n", capture_output=True, text=True)
        if not os.path.exists(path) or not r.stdout.startswith("0\tok"):
            check(f"gimp-{bits}.psd", False, "not written or not decoded")
            continue
        got = np.fromfile(os.path.join(work, "0.bgra"), np.uint8).reshape(9, 33, 4).astype(int)[..., [2, 1, 0, 3]]
        seen = alpha > 0
        err = np.abs(got[..., :3] - source[..., :3]).max(axis=-1)[seen]
        allowed = 1 + 128 / alpha[seen]
        check(f"gimp-{bits}.psd", (got[..., 3] == alpha).all() and (err <= allowed).all(),
              f"colours off by up to {err.max()} ({(err / allowed).max():.2f} of what rounding allows)")


def main():
    vekhost, vekdecode, module, work = sys.argv[1:5]
    os.makedirs(work, exist_ok=True)
    r = subprocess.run(["node", os.path.join(HERE, "make_layers.js"), module, work], capture_output=True, text=True)
    if r.returncode != 0:
        print("ag-psd could not write the files:", r.stderr.strip())
        return 1
    depths(vekhost, work)
    information(vekhost, work)
    modes(vekhost, work)
    fills_and_adjustments(vekhost, work)
    imagemagick(vekhost, work)
    if vekdecode != "-":  # straight colours come from the library itself, in the native build
        gimp_matte(vekdecode, work)
    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
