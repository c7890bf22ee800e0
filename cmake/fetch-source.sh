#!/usr/bin/env bash
# Unpacks a Debian source package into a cache folder once and prints where it lies:
#   fetch-source.sh PACKAGE DIRECTORY-GLOB SOURCE-CACHE [LOG]
# The newest version first; a mirror may lack it (a security update's source), so older ones follow.
set -euo pipefail
package=$1
pattern=$2
src=$3
# Absolute, since apt-get runs inside the cache folder.
log=$(realpath -m "${4:-/dev/null}")
mkdir -p "$src"
dir=$(find "$src" -maxdepth 1 -type d -name "$pattern" | head -n 1)
if [[ -z $dir ]]; then
  for version in "" $(apt-cache showsrc "$package" 2>/dev/null | sed -n 's/^Version: //p' | sort -r -V -u); do
    (cd "$src" && apt-get source -qq "$package${version:+=$version}" >>"$log" 2>&1) && break
  done
  dir=$(find "$src" -maxdepth 1 -type d -name "$pattern" | head -n 1)
fi
[[ -n $dir ]] || { echo "fetch-source: could not get the source of $package" >&2; exit 1; }
echo "$dir"
