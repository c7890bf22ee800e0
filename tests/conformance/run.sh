#!/usr/bin/env bash
# The conformance harness as CTest runs it: the suites readied, then the comparison.
#   run.sh VEKDECODE WORKDIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
vekdecode=$1
work=$2
mkdir -p "$work"
sources=$(bash "$here/suites.sh" "$work/variants" "$work/fetch.log")
exec /usr/bin/python3 "$here/run_conformance.py" --vekdecode "$vekdecode" --sources "$sources" \
  --variants "$work/variants" --work "$work/decoded"
