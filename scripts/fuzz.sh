#!/usr/bin/env bash
# Coverage-guided fuzzing of the packet decoder, the wire frame decoder and the
# INI reader with libFuzzer (clang, AddressSanitizer, UndefinedBehaviorSanitizer).
#   scripts/fuzz.sh [seconds per target]   (default 60)
# New inputs that found coverage go to build-fuzz/corpus/<target>; a crash
# leaves its input in build-fuzz/crashes/<target>/ — copy it to
# fuzz/corpus/<target>/ so the ordinary test run replays it from then on.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${KELT_FUZZ_BUILD_DIR:-$root/build-fuzz}
"$root/scripts/setup.sh"
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKELT_BUILD_FUZZERS=ON -DKELT_BUILD_TESTS=OFF -DKELT_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j2 --target fuzz_packet fuzz_wire_frame fuzz_ini_file
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
for target in packet wire_frame ini_file; do
  corpus=$build/corpus/$target
  crashes=$build/crashes/$target
  mkdir -p "$corpus" "$crashes"
  echo "== fuzz_$target, $seconds s =="
  if ! "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
      -print_final_stats=1 -artifact_prefix="$crashes/" "$corpus" "$root/fuzz/corpus/$target" 2>"$build/fuzz_$target.log"; then
    status=1
    tail -n 40 "$build/fuzz_$target.log"
  fi
  grep -E "^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb)" "$build/fuzz_$target.log" || true
  grep -E "cov: [0-9]+" "$build/fuzz_$target.log" | tail -n 1 || true
done
exit $status
