#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; then the threads test
# under ThreadSanitizer, and the checks against bad input (sanitizers, fuzz
# replays, short fuzz runs).
cd "$(dirname "$0")"
. scripts/common.sh
set -o pipefail
install_missing
build
# Every ctest run writes a JUnit report here; the totals are counted from them.
reports=$(mktemp -d "${TMPDIR:-/tmp}/caustic-test.XXXXXX")
trap 'rm -rf "$reports"' EXIT
export CAUSTIC_TEST_REPORTS=$reports
(cd build && ctest --output-on-failure --timeout 300 --output-junit "$reports/plain.xml")
# Loads and saves from many threads under ThreadSanitizer: only the library
# and its unit tests are built, and only the threads test runs.
echo "== loads and saves from many threads under ThreadSanitizer (build-tsan)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAUSTIC_TSAN=ON -DCAUSTIC_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$(nproc)" --target image_tests
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure --no-tests=error -R '^threads\.' \
    --output-junit "$reports/tsan.xml")
scripts/hardening.sh
# Every suite passed, or set -e would have stopped us: one line for them all.
# A test skipped (GTEST_SKIP, under the sanitizers say) is not counted as passed.
for r in plain tsan asan asan-e2e; do
    [ -s "$reports/$r.xml" ] || { echo "no test report $r.xml" >&2; exit 1; }
done
cat "$reports"/*.xml | awk '
    /<testcase / { match($0, /status="[a-z]*"/); s = substr($0, RSTART + 8, RLENGTH - 9)
                   if (s == "run") passed++; else if (s == "fail") failed++; else skipped++ }
    END { printf "all suites: %d passed, %d failed, %d skipped\n", passed, failed, skipped; exit failed != 0 }'
