#!/usr/bin/env bash
# hardening.sh - the checks against bad input that CI runs after the plain
# build's tests: the unit tests and every fuzz harness's replay of its corpus
# and past findings under AddressSanitizer and UndefinedBehaviorSanitizer
# (LeakSanitizer included), the demo under them on Xvfb, and, where clang is
# installed, a short libFuzzer run of each harness.
# Usage: scripts/hardening.sh [FUZZ-SECONDS-PER-HARNESS]   (default 60; 0 skips)
set -eu
cd "$(dirname "$0")/.."
top=$PWD
fuzz_seconds=${1:-60}
jobs=$(nproc)

echo "== unit tests and replays under the sanitizers (build-asan)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAUSTIC_SANITIZE=ON -DCAUSTIC_BUILD_BENCH=OFF
cmake --build build-asan -j "$jobs"
# The other end-to-end tests repeat what the plain build checks, and under the
# sanitizers they only add the reports of libraries SDL loads and unloads;
# e2e.sanitized runs the demo under them instead. The install test builds a
# separate consumer project and says nothing about bad input.
(
    cd build-asan
    export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp"
    ctest --output-on-failure --timeout 300 -E '^e2e\.|^install$|^imagetool$'
    ctest --output-on-failure --timeout 300 -R '^e2e\.sanitized$'
)

if [ "$fuzz_seconds" = 0 ]; then
    exit 0
fi
if ! command -v clang++ >/dev/null || ! echo 'int main(){}' |
    clang++ -x c++ -fsanitize=fuzzer-no-link,address -o /dev/null - 2>/dev/null; then
    echo "== no clang with the sanitizer runtimes: short fuzz runs skipped"
    exit 0
fi
echo "== ${fuzz_seconds} s of libFuzzer per harness (build-fuzz), two at a time"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAUSTIC_FUZZ=ON \
    -DCAUSTIC_BUILD_TESTS=OFF -DCAUSTIC_BUILD_BENCH=OFF
cmake --build build-fuzz -j "$jobs" --target fuzz_png fuzz_jpeg fuzz_tga fuzz_load_image
work=$(mktemp -d "${TMPDIR:-/tmp}/caustic-fuzz.XXXXXX")
# A fixed seed: the same inputs are tried on every run, so a finding here can
# be repeated, and a change, not luck, is what turns CI red. Longer runs with
# fresh seeds are scripts/fuzz.sh's job.
export FUZZ_SEED=${FUZZ_SEED:-1}
status=0
for pair in "png jpeg" "tga load_image"; do
    pids=()
    for h in $pair; do
        scripts/fuzz.sh build-fuzz "$h" "$fuzz_seconds" "$work" &
        pids+=($!)
    done
    for p in "${pids[@]}"; do
        wait "$p" || status=1
    done
done
if [ "$status" != 0 ]; then
    echo "fuzzing found something; the inputs and logs are in $work:" >&2
    find "$work" -maxdepth 2 -type f ! -path '*/corpus/*' >&2
    exit 1
fi
rm -rf "$work"
