#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a while from its seed corpus:
#   scripts/fuzz.sh [SECONDS] [TARGET...]     (default 30 seconds, every target)
# New inputs go to a scratch corpus under build/, never into the committed seeds.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null
targets=("$@")
if (( ${#targets[@]} == 0 )); then
  targets=()
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi
status=0
for target in "${targets[@]}"; do
  work=build/fuzz/corpus-$target
  mkdir -p "$work" build/fuzz/findings
  if ./build/fuzz/bin/fuzz_"$target" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=3500 -malloc_limit_mb=1200 \
       -timeout=20 -artifact_prefix=build/fuzz/findings/"$target"- -print_final_stats=1 \
       "$work" "fuzz/corpus/$target" >build/fuzz/"$target".log 2>&1; then
    echo "fuzz $target: $(grep -E '^stat::number_of_executed_units' build/fuzz/"$target".log | awk '{print $2}') runs, no finding"
  else
    echo "fuzz $target: FINDING (see build/fuzz/$target.log)"
    tail -n 40 build/fuzz/"$target".log
    status=1
  fi
done
exit $status
