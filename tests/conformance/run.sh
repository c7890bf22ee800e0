#!/usr/bin/env bash
# The conformance harness as CTest runs it: the suites readied, then the comparison.
#   run.sh VEKDECODE WORKDIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
vekdecode=$1
work=$2
mkdir -p "$work"
sources=$(bash "$here/suites.sh" "$work/variants" "$work/fetch.log")
status=0
/usr/bin/python3 "$here/run_conformance.py" --vekdecode "$vekdecode" --sources "$sources" \
  --variants "$work/variants" --work "$work/decoded" || status=1
# Every reader path has pictures, and those of the paths other programs write come from them.
/usr/bin/python3 "$here/coverage.py" --sources "$sources" --variants "$work/variants" || status=1
exit $status
