#!/usr/bin/python3
"""Draws docs/colour-example.png: a photograph-like picture as a camera set to Adobe RGB stores it
(its numbers, with the Adobe RGB profile embedded), shown left as a viewer that ignores the profile
draws it, right as the plug-in hands it over (vekhost, through the native build).

    colour_example.py VEKHOST OUT.png"""
import os
import subprocess
import sys
import tempfile

from PIL import Image, ImageCms, ImageDraw

host, out = sys.argv[1], sys.argv[2]
ADOBE = "/usr/share/color/icc/colord/AdobeRGB1998.icc"


def scene():
    """A sunset landscape with saturated flowers and colour swatches: the colours a wide gamut keeps."""
    w, h = 320, 200
    im = Image.new("RGB", (w, h))
    px = im.load()
    for y in range(h):
        for x in range(w):
            t = y / (h * 0.6)
            px[x, y] = (255, int(120 + 100 * t), int(40 + 200 * t)) if y < h * 0.6 else \
                (int(20 + 40 * ((x // 7) % 2)), int(150 - 60 * (y - h * 0.6) / (h * 0.4)), 40)
    d = ImageDraw.Draw(im)
    d.ellipse((210, 30, 270, 90), fill=(255, 210, 0))
    d.polygon([(0, 130), (90, 80), (170, 125), (240, 95), (320, 130), (320, 200), (0, 200)], fill=(30, 120, 60))
    for i, c in enumerate([(230, 0, 30), (255, 0, 160), (120, 0, 255), (0, 170, 255), (0, 220, 120), (255, 120, 0)]):
        d.ellipse((20 + i * 48, 150, 56 + i * 48, 186), fill=c)
    return im


srgb = scene()
adobe_numbers = ImageCms.profileToProfile(srgb, ImageCms.createProfile("sRGB"), ImageCms.getOpenProfile(ADOBE),
                                          renderingIntent=1)  # relative colorimetric
with tempfile.TemporaryDirectory() as work:
    tagged = os.path.join(work, "adobe-rgb.jpg")
    adobe_numbers.save(tagged, quality=95, icc_profile=open(ADOBE, "rb").read())
    shown = os.path.join(work, "shown.bmp")
    subprocess.run([host, "--quiet", "decode", tagged, "-o", shown], check=True)
    after = Image.open(shown).convert("RGB")
    before = Image.open(tagged).convert("RGB")  # Pillow ignores the profile: the numbers as they are
    w, h = before.size
    sheet = Image.new("RGB", (w * 2 + 30, h + 40), (255, 255, 255))
    sheet.paste(before, (10, 30))
    sheet.paste(after, (w + 20, 30))
    d = ImageDraw.Draw(sheet)
    d.text((10, 10), "Adobe RGB numbers drawn as sRGB (profile ignored)", fill=(0, 0, 0))
    d.text((w + 20, 10), "as the plug-in hands it over (converted to sRGB)", fill=(0, 0, 0))
    sheet.save(out, optimize=True)
print(out)
