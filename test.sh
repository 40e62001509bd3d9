#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; then the threads test
# under ThreadSanitizer, and the checks against bad input (sanitizers, fuzz
# replays, short fuzz runs). Each stage's header gives the time since the
# start, a line comes at least every 30 s, and the run ends with each
# stage's duration.
cd "$(dirname "$0")"
. scripts/common.sh
set -o pipefail
echo "./test.sh: builds the project four ways (plain, ThreadSanitizer, the sanitizers, fuzzing) and runs"
echo "every test: 5 to 6 minutes from a fresh clone on a 2-core Xeon, at most 10 on 2 cores at a load of 2 to 3."
# Every ctest run writes a JUnit report here; the totals are counted from them.
reports=$(mktemp -d "${TMPDIR:-/tmp}/caustic-test.XXXXXX")
export CAUSTIC_TEST_REPORTS=$reports CAUSTIC_STAGES=$reports/stages
# A line every 30 s, whatever the stage is doing. The sleep holds none of
# the output's descriptors: a reader of the output waits for no orphan.
(while sleep 30 </dev/null >/dev/null 2>&1; do echo "   [$(elapsed)] still working"; done) &
heartbeat=$!
trap 'kill "$heartbeat" 2>/dev/null; rm -rf "$reports"' EXIT

stage "packages"
install_missing
stage "plain build (build)"
build
stage "unit, end-to-end, install and example tests (build)"
(cd build && ctest --output-on-failure --timeout 300 --output-junit "$reports/plain.xml")
# Loads and saves from many threads under ThreadSanitizer: only the library
# and its unit tests are built, and only the threads test runs.
stage "loads and saves from many threads under ThreadSanitizer (build-tsan)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAUSTIC_TSAN=ON -DCAUSTIC_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$(nproc)" --target image_tests
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure --no-tests=error -R '^threads\.' \
    --output-junit "$reports/tsan.xml")
scripts/hardening.sh
stage "done"
# Every suite passed, or set -e would have stopped us: one line for them all.
# A test skipped (GTEST_SKIP, under the sanitizers say) is not counted as passed.
for r in plain tsan asan asan-e2e; do
    [ -s "$reports/$r.xml" ] || { echo "no test report $r.xml" >&2; exit 1; }
done
echo "Stage durations (minutes:seconds):"
awk '{ if (NR > 1) printf "  %d:%02d %s\n", ($1 - t) / 60, ($1 - t) % 60, name
       t = $1; name = substr($0, index($0, " ") + 1) }' "$CAUSTIC_STAGES"
cat "$reports"/*.xml | awk '
    /<testcase / { match($0, /status="[a-z]*"/); s = substr($0, RSTART + 8, RLENGTH - 9)
                   if (s == "run") passed++; else if (s == "fail") failed++; else skipped++ }
    END { printf "all suites: %d passed, %d failed, %d skipped\n", passed, failed, skipped; exit failed != 0 }'
