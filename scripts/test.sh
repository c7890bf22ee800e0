#!/usr/bin/env bash
# Builds every target and runs every test: Linux x86-64, Linux x86 under qemu, the sanitizer build,
# Windows x64 under wine64, Windows x86 under the 32-bit wine (itself under qemu), and the fuzzers.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1

presets=(${VEK_PRESETS:-native linux32 asan tsan win64 win32 fuzz})
jobs=$(nproc)
total_passed=0
total_failed=0
failed_presets=()
logdir=build/logs
mkdir -p "$logdir"

for preset in "${presets[@]}"; do
  if [[ $preset == fuzz ]]; then
    # Every libFuzzer target for a short while from its seeds: a finding fails the run.
    echo "=== fuzz: ${VEK_FUZZ_SECONDS:-30} seconds a target"
    bash scripts/fuzz.sh "${VEK_FUZZ_SECONDS:-30}" 2>&1 | tee "$logdir/fuzz.log"
    passed=$(grep -c ', no finding$' "$logdir/fuzz.log" || true)
    found=$(grep -c ': FINDING' "$logdir/fuzz.log" || true)
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + found))
    if (( found > 0 || passed == 0 )); then failed_presets+=("fuzz"); (( passed > 0 )) || total_failed=$((total_failed + 1)); fi
    continue
  fi
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >"$logdir/$preset-configure.log" 2>&1; then
    cat "$logdir/$preset-configure.log"
    failed_presets+=("$preset(configure)")
    total_failed=$((total_failed + 1))
    continue
  fi
  # The Windows builds also make the packages users install.
  targets=()
  [[ $preset == win* ]] && targets=(--target all dist)
  if ! cmake --build --preset "$preset" -j "$jobs" "${targets[@]}" >"$logdir/$preset-build.log" 2>&1; then
    tail -n 60 "$logdir/$preset-build.log"
    failed_presets+=("$preset(build)")
    total_failed=$((total_failed + 1))
    continue
  fi
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$logdir/$preset-test.log"
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$logdir/$preset-test.log" | tail -n 1)
  if [[ -z "$summary" ]]; then
    failed_presets+=("$preset(no tests ran)")
    total_failed=$((total_failed + 1))
    continue
  fi
  failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
  all=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$summary")
  total_passed=$((total_passed + all - failed))
  total_failed=$((total_failed + failed))
  (( failed == 0 )) || failed_presets+=("$preset")
done

# Wine's server was started detached for the Windows tests; stop it so nothing outlives the run.
[[ -x /usr/lib/wine/wineserver64 ]] && /usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true

echo
if (( ${#failed_presets[@]} )); then
  echo "failed: ${failed_presets[*]}"
fi
echo "total: $total_passed passed, $total_failed failed"
(( total_failed == 0 ))
