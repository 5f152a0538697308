#!/usr/bin/env bash
# Configures and builds the project into build/ (or $KELT_BUILD_DIR): every
# target, or only the targets named (scripts/build.sh kelt-cycle kelt-appserver).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELT_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$build" -j "${KELT_JOBS:-2}" "${targets[@]}"
