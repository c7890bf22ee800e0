#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a while, with its format's dictionary:
#   scripts/fuzz.sh [SECONDS] [TARGET...]     (default 30 seconds, every target)
#   VEK_FUZZ_JOBS=2 scripts/fuzz.sh 600 bmp:1800 jpeg:900 ...
#                                             a campaign: two targets at a time, each for its own time
#   VEK_FUZZ_CAPS=real scripts/fuzz.sh 600 plugin
#                                             a campaign at the library's real caps (2^28 pixels),
#                                             each input within the memory a load may hold
# Each target's working corpus (under build/fuzz, never the committed seeds) starts as the committed
# seeds, the public test suites' pictures of its format and the generated conformance variants (for
# the profiles target, the machine's ICC profiles), minimised with -merge=1. One line a target: executions, their rate, coverage (cov: edges, ft:
# features), corpus size and peak memory; a finding prints its log and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
jobs=${VEK_FUZZ_JOBS:-1}
preset=fuzz
[[ ${VEK_FUZZ_CAPS:-} == real ]] && preset=fuzz-caps
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
bin=build/$preset/bin
targets=("$@")
if (( ${#targets[@]} == 0 )); then
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi
mkdir -p build/fuzz/findings

# The public suites and the generated variants, as the conformance harness has them (its own
# variants when the native build made them).
variants=build/native/conformance/variants
[[ -f $variants/.complete ]] || variants=build/fuzz/variants
sources=$(bash tests/conformance/suites.sh "$variants" build/fuzz/fetch.log)
pictures=build/fuzz/pictures.tsv
/usr/bin/python3 tests/conformance/run_conformance.py --list --sources "$sources" --variants "$variants" >"$pictures"

flags=(-max_len=65536 -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=10)
if [[ $preset == fuzz-caps ]]; then
  # One picture of 2^28 pixels is 1 GiB of BGRA, and a load may hold twice that beside the file; the
  # plug-in's copy for the host comes after the library's working set is gone. Allocations past
  # that, or a process past it with the sanitizer's own share, are findings.
  flags=(-max_len=65536 -rss_limit_mb=3584 -malloc_limit_mb=1100 -timeout=120)
  export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16:malloc_context_size=5}
fi

fuzz_one() {
  local target=${1%%:*} seconds=$seconds
  [[ $1 == *:* ]] && seconds=${1#*:}
  local work=build/fuzz/corpus-$target log=build/fuzz/$target.log
  if [[ ! -f $work/.seeded ]]; then
    local extra=build/fuzz/extra-$target
    rm -rf "$extra" && mkdir -p "$extra" "$work"
    local format path n=0
    # The reader's own format (a BMP reader takes headerless DIBs too); the plug-in takes them all.
    while IFS=$'\t' read -r format path; do
      [[ $target == plugin || $format == "$target" || ($target == bmp && $format == dib) ]] || continue
      cp "$path" "$extra/$((n++))"
    done <"$pictures"
    # The layers target: every PSD, and the layered files Photoshop wrote that the tests keep as
    # their answer key, where they are here.
    if [[ $target == layers ]]; then
      while IFS=$'\t' read -r format path; do
        [[ $format == psd ]] && cp "$path" "$extra/$((n++))"
      done <"$pictures"
      local photoshop=${VEK_PHOTOSHOP_DIR:-../shared/photoshop}
      [[ -d $photoshop ]] && find "$photoshop" -type f \( -name '*.psd' -o -name '*.psb' \) -size -64k -exec cp {} "$extra/" \;
    fi
    # The profiles target: every profile the machine's colour packages hold.
    if [[ $target == profile ]]; then
      find /usr/share/color/icc -type f \( -iname '*.icc' -o -iname '*.icm' \) -exec cp {} "$extra/" \;
    fi
    "$bin"/fuzz_"$target" -merge=1 "${flags[@]}" "$work" "fuzz/corpus/$target" "$extra" >build/fuzz/"$target"-merge.log 2>&1
    rm -rf "$extra"
    touch "$work/.seeded"
  fi
  if "$bin"/fuzz_"$target" -max_total_time="$seconds" "${flags[@]}" -dict=fuzz/dict/"$target".dict \
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
  export -f fuzz_one
  export seconds pictures bin
  export flags_string="${flags[*]}"
  printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'flags=($flags_string); fuzz_one {}' || status=1
else
  for target in "${targets[@]}"; do fuzz_one "$target" || status=1; done
fi
exit $status
