"""Draws bench/whole_process.sh's first table as bars: for each picture, our whole process, ImageMagick's
and the limit (the picture's BGRA bytes written once into fresh memory), in milliseconds on one
scale.
    speed_svg.py ROWS OUT.svg        ROWS: "picture ours-seconds imagemagick-seconds limit-seconds" lines
"""
import sys

NAMES = {"photo.jpg": "JPEG 24 MP", "rgba.png": "PNG RGBA 24 MP", "packbits.psd": "PSD PackBits 24 MP",
         "packbits.psb": "PSB PackBits 24 MP", "dxt5.dds": "DDS DXT5 16 MP"}
BARS = (("vek bridge (vekhost)", "#2b6cb0"), ("ImageMagick convert", "#c05621"), ("limit: BGRA written once", "#718096"))


def main():
    rows = [line.split() for line in open(sys.argv[1]) if line.strip()]
    most = max(float(v) for r in rows for v in r[1:])
    label, width, bar, gap = 150, 460, 14, 12
    height = 40 + len(rows) * (3 * bar + gap) + 30
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" '
           'font-size="11">' % (label + width + 90, height),
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="8" y="16" font-size="13">Picture to BGRA file, whole process (ms, shorter is faster)</text>']
    y = 32
    for k, (name, color) in enumerate(BARS):
        x = 8 + k * 190
        out.append('<rect x="%d" y="%d" width="10" height="10" fill="%s"/><text x="%d" y="%d">%s</text>'
                   % (x, y - 9, color, x + 14, y, name))
    y += 12
    for r in rows:
        out.append('<text x="8" y="%d">%s</text>' % (y + bar * 1.5 + 4, NAMES.get(r[0], r[0])))
        for k, (_, color) in enumerate(BARS):
            ms = float(r[1 + k]) * 1000
            length = max(1.0, width * float(r[1 + k]) / most)
            out.append('<rect x="%d" y="%d" width="%.1f" height="%d" fill="%s"/>' % (label, y, length, bar - 2, color))
            out.append('<text x="%.1f" y="%d">%.0f</text>' % (label + length + 4, y + bar - 4, ms))
            y += bar
        y += gap
    out.append("</svg>")
    open(sys.argv[2], "w").write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
