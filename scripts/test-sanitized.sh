#!/usr/bin/env bash
# The test suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
# Any report fails the test that caused it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELT_ASAN_BUILD_DIR:-$root/build-asan}
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELT_SANITIZE=ON -DKELT_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export LSAN_OPTIONS=suppressions=$root/tests/sanitizer/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir "$build" --output-on-failure -j 2 --timeout 900
