#!/usr/bin/env bash
# Builds the relay and its tests three times and runs every test in each:
# build/ (plain), build-asan/ (AddressSanitizer + UndefinedBehaviorSanitizer)
# and build-tsan/ (ThreadSanitizer). A sanitizer report fails its test.
# Exits non-zero when any build or test fails.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc)"

bash "$root/scripts/deps.sh" || exit 1

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

failed=()
passed_total=0
failed_total=0
run_variant() {  # name, build directory, sanitizer
  local name="$1" dir="$root/$2" sanitize="$3"
  echo "=== $name: $dir"
  if ! cmake -S "$root" -B "$dir" -DSANITIZE="$sanitize" -DWSRELAY_TESTS=ON >/dev/null ||
     ! cmake --build "$dir" -j"$jobs"; then
    failed+=("$name (build)")
    return
  fi
  local log="$dir/ctest-summary.log"
  ctest --test-dir "$dir" --output-on-failure -j8 --timeout 300 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || failed+=("$name")
  # "N% tests passed, F tests failed out of T"
  local summary
  summary="$(grep -E 'tests passed, [0-9]+ tests failed out of' "$log" | tail -1)"
  if [ -n "$summary" ]; then
    local f t
    f="$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")"
    t="$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")"
    passed_total=$((passed_total + t - f))
    failed_total=$((failed_total + f))
  fi
}

run_variant plain build ""
run_variant asan build-asan address
run_variant tsan build-tsan thread

# A short run of every fuzz target (clang, libFuzzer); a finding fails it.
FUZZ_SECONDS=30 bash "$root/fuzz/run.sh" || failed+=("fuzz")

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  echo "tests: $passed_total passed, $failed_total failed"
  exit 1
fi
echo "all test runs passed"
echo "tests: $passed_total passed, $failed_total failed"
