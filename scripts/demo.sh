#!/usr/bin/env bash
# Sets up, builds natively and shows the plug-in at work through vekhost.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target vekhost vek vek340 >/dev/null
host=build/native/bin/vekhost
echo "The plug-in's information strings:"
"$host" info
echo
echo "Acceptance by file name:"
for name in holiday.jpg logo.PNG scan.tga notes.txt; do
  "$host" check "$name" || true
done
