#!/usr/bin/python3
"""Writes the demo's sample pictures, one a format, into the folder given: a photograph-like JPEG,
a PNG with a transparent background and a half-transparent disc, a GIF with a transparent index,
a BMP, a TGA with alpha, a PSD (through ImageMagick) and an uncompressed DDS."""
import math
import os
import subprocess
import sys

from PIL import Image, ImageDraw

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
W, H = 320, 200


def landscape():
    im = Image.new("RGB", (W, H))
    px = im.load()
    for y in range(H):
        for x in range(W):
            sky = y < H * 0.6
            t = y / (H * 0.6) if sky else (y - H * 0.6) / (H * 0.4)
            if sky:
                px[x, y] = (int(255 - 60 * t), int(140 + 60 * t), int(90 + 150 * t))
            else:
                px[x, y] = (int(40 + 30 * math.sin(x / 9)), int(110 - 50 * t), int(50))
    d = ImageDraw.Draw(im)
    d.ellipse((210, 40, 270, 100), fill=(255, 230, 120))
    d.polygon([(0, 130), (90, 70), (170, 125), (240, 90), (320, 130), (320, 200), (0, 200)], fill=(70, 90, 110))
    return im


def badge():
    im = Image.new("RGBA", (W, H), (0, 0, 0, 0))
    d = ImageDraw.Draw(im)
    d.ellipse((40, 20, 200, 180), fill=(30, 120, 220, 255))
    d.ellipse((130, 40, 290, 200), fill=(240, 60, 60, 140))
    d.rectangle((20, 150, 300, 175), fill=(20, 20, 20, 200))
    d.text((30, 155), "vek bridge", fill=(255, 255, 255, 255))
    return im


photo = landscape()
photo.save(os.path.join(out, "landscape.jpg"), quality=90, dpi=(72, 72))
logo = badge()
logo.save(os.path.join(out, "badge.png"), dpi=(144, 144))
sprite = logo.convert("RGB").quantize(colors=32)
mask = [255 if a > 127 else 0 for a in logo.getchannel("A").getdata()]
sprite.putpixel((0, 0), 0)
data = list(sprite.getdata())
sprite.putdata([31 if m == 0 else min(v, 30) for v, m in zip(data, mask)])
sprite.save(os.path.join(out, "sprite.gif"), transparency=31)
photo.save(os.path.join(out, "scan.bmp"))
logo.save(os.path.join(out, "texture.tga"), rle=True)
subprocess.run(["convert", os.path.join(out, "badge.png"), os.path.join(out, "layers.psd")], check=True)
logo.save(os.path.join(out, "texture.dds"))
print(out)
