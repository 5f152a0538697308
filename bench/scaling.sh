#!/usr/bin/env bash
# How the channels' cost grows with the work: the same benchmark at 1,000 to
# 100,000 rows (batches of 1000) and at packet sizes 100 to -1 (10,000 rows),
# each against its floor measured in the same run. Time per row should stay flat.
# Usage: bench/scaling.sh [store_carrier|master_data|transactions ...] (default: all three)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELT_BUILD_DIR:-$root/build}
benches=("$@")
[ ${#benches[@]} -gt 0 ] || benches=(store_carrier master_data transactions)

run() { # bench rows packet -> its RESULT lines
  "$build/bench/$1/bench_$1" "$2" 1 "$3" | grep '^RESULT' | grep 'ratio=' | grep -v monitored
}

for b in "${benches[@]}"; do
  echo "== $b: rows per table (batches of 1000) =="
  printf '%-28s %8s %8s %12s %12s %7s\n' result rows packet "us/row" "floor us/row" ratio
  for rows in 1000 10000 100000; do
    run "$b" "$rows" 1000 | while read -r _ name rest; do
      ch=$(sed -n 's/.*channel_rows_per_s=\([0-9]*\).*/\1/p' <<<"$rest")
      fl=$(sed -n 's/.*floor_rows_per_s=\([0-9]*\).*/\1/p' <<<"$rest")
      ra=$(sed -n 's/.* ratio=\([0-9.]*\).*/\1/p' <<<"$rest")
      printf '%-28s %8s %8s %12.1f %12.1f %7s\n' "$name" "$rows" 1000 "$(awk "BEGIN{print 1e6/$ch}")" "$(awk "BEGIN{print 1e6/$fl}")" "$ra"
    done
  done
  echo "== $b: packet sizes (10,000 rows) =="
  for packet in 100 1000 5000 -1; do
    run "$b" 10000 "$packet" | while read -r _ name rest; do
      ch=$(sed -n 's/.*channel_rows_per_s=\([0-9]*\).*/\1/p' <<<"$rest")
      fl=$(sed -n 's/.*floor_rows_per_s=\([0-9]*\).*/\1/p' <<<"$rest")
      ra=$(sed -n 's/.* ratio=\([0-9.]*\).*/\1/p' <<<"$rest")
      printf '%-28s %8s %8s %12.1f %12.1f %7s\n' "$name" 10000 "$packet" "$(awk "BEGIN{print 1e6/$ch}")" "$(awk "BEGIN{print 1e6/$fl}")" "$ra"
    done
  done
  echo
done
