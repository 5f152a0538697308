#!/usr/bin/env bash
# Fresh machine to green tests: installs the packages, builds, runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELT_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
KELT_BUILD_DIR=$build "$root/scripts/build.sh"
export QT_QPA_PLATFORM=offscreen

# A private Firebird server on a free loopback port (scripts/fb-server.sh),
# stopped however this script ends. Tests that need it fail here rather than skip.
fb_dir=$(mktemp -d "${TMPDIR:-/tmp}/kelt-fb.XXXXXX")
trap '"$root/scripts/fb-server.sh" stop "$fb_dir"; rm -rf "$fb_dir"' EXIT
trap 'exit 130' INT TERM HUP
"$root/scripts/fb-server.sh" start "$fb_dir"
export KELT_TEST_FB_SERVER=localhost/$(cat "$fb_dir/port")
export KELT_REQUIRE_FB_SERVER=1

ctest --test-dir "$build" --output-on-failure -j 2 --timeout 600

# The three channels end to end and the fault matrix again with the
# installations' databases on that server, as where the shop's other programs
# use them at the same time.
server_tier='^(test_e2e|test_store_carrier|test_master_data_e2e|test_transactions_e2e|test_fault_matrix_cad|test_fault_matrix_cadm|test_fault_matrix_movm)$'
started=$SECONDS
KELT_TEST_DATABASE_TIER=server ctest --test-dir "$build" --output-on-failure -j 2 --timeout 600 -L "$server_tier"
echo "Databases on the Firebird server: $((SECONDS - started)) s"

# The tests that take outside input and the channels again, built with
# AddressSanitizer and UndefinedBehaviorSanitizer (all of them: scripts/test-sanitized.sh).
"$root/scripts/test-sanitized.sh" --ci
# A short coverage-guided run of each fuzz target (the long run: scripts/fuzz.sh 600).
"$root/scripts/fuzz.sh" "${KELT_FUZZ_SECONDS:-15}"
