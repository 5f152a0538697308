#!/usr/bin/env bash
# Fresh machine to green tests: installs the packages, builds, runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELT_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
KELT_BUILD_DIR=$build "$root/scripts/build.sh"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j 2 --timeout 600
# The tests that take outside input and the channels again, built with
# AddressSanitizer and UndefinedBehaviorSanitizer (all of them: scripts/test-sanitized.sh).
"$root/scripts/test-sanitized.sh" --ci
# A short coverage-guided run of each fuzz target (the long run: scripts/fuzz.sh 600).
"$root/scripts/fuzz.sh" "${KELT_FUZZ_SECONDS:-15}"
