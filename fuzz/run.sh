#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each one
# for a bounded time, starting from its seed corpus in fuzz/corpus/<target>/
# (the seeds are copied; what the run adds stays in the build directory).
# Exits non-zero when a build fails or any target reports a finding; the
# input that shows it is kept under build-fuzz/fuzz-findings/<target>/.
#
#   fuzz/run.sh                 30 s per target
#   FUZZ_SECONDS=300 fuzz/run.sh
#   fuzz/run.sh fuzz_handshake  one target
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
seconds="${FUZZ_SECONDS:-30}"
targets=("$@")
[ ${#targets[@]} -eq 0 ] &&
  targets=(fuzz_frame_decoder fuzz_handshake fuzz_frame_encoder fuzz_utf16 fuzz_cli)

echo "=== fuzz: building in $build"
if ! CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DWSRELAY_FUZZ=ON -DWSRELAY_TESTS=OFF \
       -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null ||
   ! cmake --build "$build" -j"$(nproc)" --target fuzz_all; then
  echo "FAILED: fuzz (build)"
  exit 1
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

failed=()
for t in "${targets[@]}"; do
  work="$build/fuzz-corpus/$t"
  findings="$build/fuzz-findings/$t"
  mkdir -p "$work" "$findings"
  cp -n "$root/fuzz/corpus/$t/"* "$work/" 2>/dev/null
  echo "=== fuzz: $t for ${seconds}s"
  # A run that ends early with a finding exits non-zero; so does one whose
  # input outgrows the time or memory limits.
  if "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 \
       -print_final_stats=1 -artifact_prefix="$findings/" "$work" >"$build/fuzz-$t.log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$build/fuzz-$t.log"
  else
    tail -n 40 "$build/fuzz-$t.log"
    echo "finding kept in $findings/"
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: fuzz ${failed[*]}"
  exit 1
fi
echo "all fuzz targets ran clean"
