#!/usr/bin/env bash
# The conformance harness as CTest runs it: the public suites from Debian's source packages (kept in
# the cross targets' source cache), the generated variants, then the comparison.
#   run.sh VEKDECODE WORKDIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
vekdecode=$1
work=$2
sources=${VEK_DEPS_CACHE:-$HOME/.cache/vek-deps}/src
for package in "libpng1.6 libpng1.6-*" "giflib giflib-*" "libjpeg-turbo libjpeg-turbo-*"; do
  set -- $package
  bash "$here/../../cmake/fetch-source.sh" "$1" "$2" "$sources" "$work.fetch.log" >/dev/null
done
if [[ ! -f $work/variants/.complete || $here/make_variants.py -nt $work/variants/.complete ]]; then
  rm -rf "$work/variants"
  /usr/bin/python3 "$here/make_variants.py" "$work/variants"
  touch "$work/variants/.complete"
fi
exec /usr/bin/python3 "$here/run_conformance.py" --vekdecode "$vekdecode" --sources "$sources" \
  --variants "$work/variants" --work "$work/decoded"
