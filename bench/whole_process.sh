#!/usr/bin/env bash
# The whole process, as a user runs it: `vekhost decode X -o out.bmp` against ImageMagick's
# `convert X out.bmp`, the two taking turns, on pictures made here (24-megapixel JPEG, RGBA PNG,
# PackBits PSD and PSB, a 4096 x 4096 DXT5 DDS, and with ag-psd a 12-layer PSD drawn from its layers). Reports the median wall time and the peak memory of
# each side (from /usr/bin/time), ratio = ImageMagick's time / ours (above 1: ours faster), and the
# limit: the time to write the picture's BGRA bytes once into fresh memory on this machine, which
# no decoder that hands over a fresh picture can beat. Then, for a picture of each of the seven
# formats, our peak memory against the budget of the file's bytes plus twice the picture's BGRA
# bytes (the library's bitmap and the viewer's DIB). With --svg FILE it also draws the first table.
#   bench/whole_process.sh [--svg FILE] [VEKHOST] [ROUNDS]
set -euo pipefail
svg=
if [[ ${1:-} == --svg ]]; then svg=$2; shift 2; fi
here=$(cd "$(dirname "$0")" && pwd)
vekhost=${1:-$here/../build/native/bin/vekhost}
rounds=${2:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$work" <<'PY'
import random, sys
from PIL import Image
work = sys.argv[1]
w, h = 6000, 4000
random.seed(5)
noise = bytes(random.getrandbits(8) & 15 for _ in range(w))
rows = []
for y in range(h):
    row = bytearray(w * 4)
    for x in range(0, w):
        n = noise[(x + y * 7) % w]
        row[4 * x:4 * x + 4] = bytes(((x // 24 + y // 40 + n) & 255, (y // 16 + n) & 255, ((x // 30) ^ (y // 50)) & 255,
                                      128 + ((x // 60) & 127)))
    rows.append(bytes(row))
im = Image.frombytes("RGBA", (w, h), b"".join(rows))
im.save(work + "/rgba.png", compress_level=6)
im.convert("RGB").save(work + "/photo.jpg", quality=90)
im.resize((4096, 4096)).save(work + "/square.png")  # with alpha, or ImageMagick writes DXT1
im.convert("RGB").save(work + "/rgb24.bmp")
im.save(work + "/rgba32.tga")
im.convert("RGB").quantize(colors=256, method=Image.Quantize.FASTOCTREE).save(work + "/palette.gif")
PY
convert "$work/rgba.png" -alpha off -compress RLE "$work/packbits.psd"
convert "$work/rgba.png" -alpha off -compress RLE "$work/packbits.psb"
convert "$work/square.png" -define dds:compression=dxt5 -define dds:mipmaps=0 "$work/dxt5.dds"
# A layered PSD without a merged picture, drawn from its 12 layers, where ag-psd is installed.
layered=()
ag_psd=${VEK_AG_PSD:-$HOME/.cache/vek-npm/node_modules/ag-psd}
if [[ -d $ag_psd ]] && node "$here/make_layered.js" "$ag_psd" "$work/layers.psd"; then layered=(layers.psd); fi

# The limit: BGRA bytes written once into fresh memory, the median of five.
cat >"$work/limit.c" <<'C'
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
int main(int argc, char** argv) {
    size_t n = strtoull(argv[1], 0, 10);
    double t[5];
    for (int i = 0; i < 5; ++i) {
        struct timespec a, b;
        clock_gettime(CLOCK_MONOTONIC, &a);
        char* p = malloc(n);
        memset(p, 0x55, n);
        clock_gettime(CLOCK_MONOTONIC, &b);
        t[i] = (b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
        if (p[n / 2] != 0x55) return 1;
        free(p);
    }
    for (int i = 0; i < 5; ++i)
        for (int j = i + 1; j < 5; ++j)
            if (t[j] < t[i]) { double x = t[i]; t[i] = t[j]; t[j] = x; }
    printf("%.4f\n", t[2]);
    return 0;
}
C
cc -O2 -o "$work/limit" "$work/limit.c"

measure() { # command... -> "seconds kilobytes"
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>&1
  cat "$work/time"
}

printf '%-22s %10s %10s %8s %10s %12s %12s\n' picture "ours (s)" "IM (s)" ratio "limit (s)" "ours (MiB)" "IM (MiB)"
: >"$work/rows"
for picture in photo.jpg rgba.png packbits.psd packbits.psb dxt5.dds "${layered[@]}"; do
  ours=() theirs=() ours_kb=0 theirs_kb=0
  for ((i = 0; i < rounds; i++)); do
    read -r s kb < <(measure "$vekhost" --quiet decode "$work/$picture" -o "$work/ours.bmp")
    ours+=("$s"); (( kb > ours_kb )) && ours_kb=$kb
    read -r s kb < <(measure convert "$work/$picture[0]" "$work/theirs.bmp")
    theirs+=("$s"); (( kb > theirs_kb )) && theirs_kb=$kb
  done
  median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }
  a=$(median "${ours[@]}") b=$(median "${theirs[@]}")
  read -r w h < <(identify -format '%w %h\n' "$work/$picture[0]")
  limit=$("$work/limit" $((w * h * 4)))
  printf '%-22s %10s %10s %8.2f %10s %12d %12d\n' "$picture ($(du -h "$work/$picture" | cut -f1))" "$a" "$b" \
    "$(echo "$b / $a" | bc -l)" "$limit" $((ours_kb / 1024)) $((theirs_kb / 1024))
  echo "$picture $a $b $limit" >>"$work/rows"
done
if [[ -n $svg ]]; then
  /usr/bin/python3 "$here/speed_svg.py" "$work/rows" "$svg"
  echo "wrote $svg"
fi

echo
printf '%-22s %12s %12s %14s\n' picture "ours (MiB)" "budget (MiB)" "within budget"
for picture in photo.jpg rgba.png palette.gif rgb24.bmp rgba32.tga packbits.psd dxt5.dds "${layered[@]}"; do
  read -r _ kb < <(measure "$vekhost" --quiet decode "$work/$picture" -o "$work/ours.bmp")
  size=$(stat -c %s "$work/$picture")
  read -r w h < <(identify -format '%w %h\n' "$work/$picture[0]")
  budget=$(( (size + 2 * w * h * 4) / 1048576 ))
  printf '%-22s %12d %12d %14s\n' "$picture" $((kb / 1024)) "$budget" "$( ((kb / 1024 <= budget)) && echo yes || echo NO)"
done
