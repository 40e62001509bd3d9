#!/usr/bin/env bash
# hardening.sh - the checks against bad input that CI runs after the plain
# build's tests: the unit tests and every fuzz harness's replay of its corpus
# and past findings under AddressSanitizer and UndefinedBehaviorSanitizer
# (LeakSanitizer included), the demo under them on Xvfb, and, where clang is
# installed, a short libFuzzer run of each harness.
# Usage: scripts/hardening.sh [FUZZ-RUNS-PER-HARNESS]
#   (default: a fixed count per harness, see below; 0 skips)
set -eu
cd "$(dirname "$0")/.."
top=$PWD
. scripts/common.sh
fuzz_runs=${1:-}
jobs=$(nproc)

stage "unit tests and replays under the sanitizers (build-asan)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAUSTIC_SANITIZE=ON -DCAUSTIC_BUILD_BENCH=OFF
cmake --build build-asan -j "$jobs"
# CAUSTIC_TEST_REPORTS, when set (test.sh sets it), is where each ctest run
# leaves its JUnit report.
unit_report=() e2e_report=()
if [ -n "${CAUSTIC_TEST_REPORTS:-}" ]; then
    unit_report=(--output-junit "$CAUSTIC_TEST_REPORTS/asan.xml")
    e2e_report=(--output-junit "$CAUSTIC_TEST_REPORTS/asan-e2e.xml")
fi
# The other end-to-end tests repeat what the plain build checks, and under the
# sanitizers they only add the reports of libraries SDL loads and unloads;
# e2e.sanitized runs the demo under them instead. The install test builds a
# separate consumer project and says nothing about bad input.
(
    cd build-asan
    export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp"
    ctest --output-on-failure --timeout 300 -E '^e2e\.|^install$|^imagetool$' "${unit_report[@]}"
    ctest --output-on-failure --timeout 300 -R '^e2e\.sanitized$' "${e2e_report[@]}"
)

if [ "$fuzz_runs" = 0 ]; then
    exit 0
fi
if ! command -v clang++ >/dev/null || ! echo 'int main(){}' |
    clang++ -x c++ -fsanitize=fuzzer-no-link,address -o /dev/null - 2>/dev/null; then
    stage "no clang with the sanitizer runtimes: short fuzz runs skipped"
    exit 0
fi
stage "short fuzz runs (build-fuzz)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAUSTIC_FUZZ=ON \
    -DCAUSTIC_BUILD_TESTS=OFF -DCAUSTIC_BUILD_BENCH=OFF
cmake --build build-fuzz -j "$jobs" --target fuzz_png fuzz_jpeg fuzz_tga fuzz_load_image
work=$(mktemp -d "${TMPDIR:-/tmp}/caustic-fuzz.XXXXXX")
# A fixed seed and a fixed number of executions, one harness at a time: a
# busy machine cannot cut a run short, nearly the same inputs are tried on
# every run (the new inputs found still differ by a few), a finding here can
# be repeated with the command printed for it, and a change, not luck or load, is what turns
# CI red. The counts keep the stage to about a minute on 2 cores at a load
# of 2 to 3: under the sanitizers an execution of the PNG harness and of
# load_image takes a few milliseconds, of the JPEG and TGA ones far less
# (their seeds are few and small). fuzz.sh prints each harness's progress
# every 20 s. Longer runs with fresh seeds are scripts/fuzz.sh's job.
export FUZZ_SEED=${FUZZ_SEED:-1}
status=0
for h in png:10000 jpeg:5000 tga:10000 load_image:5000; do
    export FUZZ_RUNS=${fuzz_runs:-${h#*:}}
    echo "== [$(elapsed)] libFuzzer: ${h%:*}, $FUZZ_RUNS runs from seed $FUZZ_SEED (build-fuzz)"
    scripts/fuzz.sh build-fuzz "${h%:*}" 0 "$work" || status=1
done
if [ "$status" != 0 ]; then
    echo "fuzzing found something (above: each finding, how to repeat it, and which starting input it is when it" \
        "is one); the inputs and logs are in $work" >&2
    exit 1
fi
rm -rf "$work"
