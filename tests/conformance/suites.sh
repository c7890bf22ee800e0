#!/usr/bin/env bash
# Readies the pictures of the conformance suites and prints where the public ones lie: libpng's,
# giflib's and libjpeg-turbo's source packages (unpacked once into the cross targets' source cache)
# and the generated variants (made once into VARIANTS, again when their writer changes).
#   suites.sh VARIANTS [LOG]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
variants=$1
log=${2:-/dev/null}
sources=${VEK_DEPS_CACHE:-$HOME/.cache/vek-deps}/src
for package in "libpng1.6 libpng1.6-*" "giflib giflib-*" "libjpeg-turbo libjpeg-turbo-*"; do
  set -- $package
  bash "$here/../../cmake/fetch-source.sh" "$1" "$2" "$sources" "$log" >/dev/null
done
stale=0
[[ -f $variants/.complete ]] || stale=1
for writer in "$here/make_variants.py" "$here"/../fixtures/*.py; do
  [[ $writer -nt $variants/.complete ]] && stale=1
done
if (( stale )); then
  rm -rf "$variants"
  /usr/bin/python3 "$here/make_variants.py" "$variants" >&2
  touch "$variants/.complete"
fi
echo "$sources"
