#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; then the threads test
# under ThreadSanitizer, and the checks against bad input (sanitizers, fuzz
# replays, short fuzz runs).
cd "$(dirname "$0")"
. scripts/common.sh
set -o pipefail
install_missing
build
log=$(mktemp "${TMPDIR:-/tmp}/caustic-test.XXXXXX")
trap 'rm -f "$log"' EXIT
(cd build && ctest --output-on-failure --timeout 300) | tee "$log"
# Loads and saves from many threads under ThreadSanitizer: only the library
# and its unit tests are built, and only the threads test runs.
echo "== loads and saves from many threads under ThreadSanitizer (build-tsan)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAUSTIC_TSAN=ON -DCAUSTIC_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$(nproc)" --target image_tests
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure --no-tests=error -R '^threads\.') | tee -a "$log"
scripts/hardening.sh | tee -a "$log"
# Every suite passed, or set -e would have stopped us: one line for them all.
total=$(awk '/tests passed, 0 tests failed out of/ { n += $NF } END { print n + 0 }' "$log")
echo "all suites: $total passed, 0 failed"
