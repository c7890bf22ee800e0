#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a while, with its format's dictionary:
#   scripts/fuzz.sh [SECONDS] [TARGET...]     (default 30 seconds, every target)
#   VEK_FUZZ_JOBS=2 scripts/fuzz.sh 600 bmp:1800 jpeg:900 ...
#                                             a campaign: two targets at a time, each for its own time
# Each target's working corpus (under build/fuzz, never the committed seeds) starts as the committed
# seeds, the public test suites' pictures of its format and the generated conformance variants,
# minimised with -merge=1. One line a target: executions, their rate, coverage (cov: edges, ft:
# features), corpus size and peak memory; a finding prints its log and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
jobs=${VEK_FUZZ_JOBS:-1}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null
targets=("$@")
if (( ${#targets[@]} == 0 )); then
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi
mkdir -p build/fuzz/findings

# The public suites, from Debian's source packages, and the generated variants.
sources=${VEK_DEPS_CACHE:-$HOME/.cache/vek-deps}/src
for package in "libpng1.6 libpng1.6-*" "giflib giflib-*" "libjpeg-turbo libjpeg-turbo-*"; do
  set -- $package
  bash cmake/fetch-source.sh "$1" "$2" "$sources" build/fuzz/fetch.log >/dev/null || true
done
variants=build/native/conformance/variants
if [[ ! -f $variants/.complete ]]; then
  variants=build/fuzz/variants
  [[ -f $variants/.complete ]] || { /usr/bin/python3 tests/conformance/make_variants.py "$variants" && touch "$variants/.complete"; }
fi

extensions() {
  case $1 in
    png) echo png ;; jpeg) echo jpg jpeg ;; gif) echo gif ;; bmp) echo bmp dib ;;
    tga) echo tga ;; psd) echo psd psb ;; dds) echo dds ;; *) echo png jpg jpeg gif bmp dib tga psd psb dds ;;
  esac
}

flags=(-max_len=65536 -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=10)

fuzz_one() {
  local target=${1%%:*} seconds=$seconds
  [[ $1 == *:* ]] && seconds=${1#*:}
  local work=build/fuzz/corpus-$target log=build/fuzz/$target.log
  if [[ ! -f $work/.seeded ]]; then
    local extra=build/fuzz/extra-$target
    rm -rf "$extra" && mkdir -p "$extra" "$work"
    local ext n=0
    for ext in $(extensions "$target"); do
      while IFS= read -r -d '' f; do cp "$f" "$extra/$((n++)).$ext"; done < <(find "$sources"/libpng1.6-*/contrib \
        "$sources"/giflib-*/pic "$sources"/giflib-*/tests "$sources"/libjpeg-turbo-*/testimages "$variants" \
        -type f -iname "*.$ext" -print0 2>/dev/null)
    done
    ./build/fuzz/bin/fuzz_"$target" -merge=1 "${flags[@]}" "$work" "fuzz/corpus/$target" "$extra" >build/fuzz/"$target"-merge.log 2>&1
    rm -rf "$extra"
    touch "$work/.seeded"
  fi
  if ./build/fuzz/bin/fuzz_"$target" -max_total_time="$seconds" "${flags[@]}" -dict=fuzz/dict/"$target".dict \
       -artifact_prefix=build/fuzz/findings/"$target"- -print_final_stats=1 "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    local runs rate cov ft corpus peak
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    peak=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")
    cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -n 1)
    echo "fuzz $target: $runs runs ($rate a second), $cov, peak ${peak} MB, no finding"
  else
    echo "fuzz $target: FINDING (see $log)"
    tail -n 40 "$log"
    return 1
  fi
}

status=0
if (( jobs > 1 )); then
  export -f fuzz_one extensions
  export seconds sources variants
  export flags_string="${flags[*]}"
  printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'flags=($flags_string); fuzz_one {}' || status=1
else
  for target in "${targets[@]}"; do fuzz_one "$target" || status=1; done
fi
exit $status
