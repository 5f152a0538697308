#!/usr/bin/env bash
# Builds and runs every benchmark; each prints its result as a ratio against a
# baseline measured in the same run. Results are copied into docs/benchmarks.md by hand.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELT_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
KELT_BUILD_DIR=$build "$root/scripts/build.sh"
for b in "$build"/bench/*/bench_* "$build"/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b") =="
  "$b"
  echo
done
