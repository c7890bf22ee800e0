#!/usr/bin/env bash
# The demo: sets up, builds natively, makes one sample picture of each format and decodes them all
# through the plug-in with vekhost, writing the pictures as .bmp files into one folder.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo "Building (native)..."
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target vekhost vek vek340 >/dev/null
host=build/native/bin/vekhost
samples=build/demo/samples
pictures=build/demo/pictures
rm -rf build/demo
/usr/bin/python3 scripts/make_samples.py "$samples" >/dev/null
mkdir -p "$pictures"

echo
echo "The plug-in's information strings:"
"$host" info
echo
echo "Pictures (what GetPictureInfo says, then GetPicture into a .bmp):"
for file in "$samples"/*; do
  "$host" query "$file"
  "$host" --quiet decode "$file" -o "$pictures/$(basename "$file").bmp"
done
echo
echo "Acceptance by name: $("$host" check holiday.JPG) / $("$host" check notes.txt || true)"
echo
echo "The decoded pictures are in $(pwd)/$pictures"
echo "(transparent ones are shown on the checkerboard, as a viewer shows them)."
