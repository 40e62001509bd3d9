#!/usr/bin/env bash
# fuzz.sh - runs one libFuzzer harness for a while, seeded from the public
# corpus, the committed corpus and the past findings.
# Usage: scripts/fuzz.sh FUZZ-BUILD-DIR HARNESS SECONDS [WORK-DIR]
#   HARNESS is png, jpeg, tga or load_image; the build is the one made with
#   CC=clang CXX=clang++ cmake -DCAUSTIC_FUZZ=ON.
# New inputs go to WORK-DIR/HARNESS/corpus, a finding to WORK-DIR/HARNESS/
# (crash-*, leak-*, timeout-*, oom-*), the log to WORK-DIR/HARNESS/log.
# The exit status is libFuzzer's: 0 when nothing was found. FUZZ_SEED, when
# set, fixes libFuzzer's random seed; FUZZ_RUNS, when set, replaces SECONDS
# with that many executions (the seeds' replay included). Both together make
# a run repeatable, however busy the machine. A finding is printed with the
# file that holds it and, when it is one of the seeds, that seed's path.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
build=$1 harness=$2 seconds=$3
work=${4:-${TMPDIR:-/tmp}/caustic-fuzz}
corpus="$top/tests/corpus"

# The same seeds as the harness's replay test (fuzz/CMakeLists.txt); libFuzzer
# reads each folder recursively.
regressions="$top/fuzz/regressions"
case $harness in
png | jpeg | tga) seed_dirs=("$corpus/$harness" "$regressions/$harness") ;;
load_image) seed_dirs=("$corpus/png/pngsuite" "$corpus/jpeg" "$corpus/tga" "$regressions/png" "$regressions/jpeg"
    "$regressions/tga") ;;
*) echo "unknown harness $harness" >&2; exit 2 ;;
esac
seed_dirs+=("$top/fuzz/corpus/$harness")
for s in "${seed_dirs[@]}"; do
    [ -d "$s" ] || { echo "fuzz.sh: no seed folder $s" >&2; exit 2; }
done

out="$work/$harness"
mkdir -p "$out/corpus"

# Allocations above 2 GiB fail, as on a machine without that much to spare,
# and the readers must cope. A unit slower than 5 s or growing past 2 GiB resident is a finding: the
# readers' limits keep every input far below both. -close_fd_mask=2 keeps the
# codecs' messages out of the log.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}allocator_may_return_null=1:max_allocation_size_mb=2048"
# libFuzzer learns from the operands of comparisons, and some are addresses:
# a repeatable run turns address randomisation off so that they are the same.
if [ -n "${FUZZ_RUNS:-}" ]; then
    budget=(-runs="$FUZZ_RUNS")
    fixed=()
    if setarch "$(uname -m)" -R true 2>/dev/null; then
        fixed=(setarch "$(uname -m)" -R)
    else
        echo "fuzz.sh: setarch -R is refused here (in a container, say): addresses stay random," \
            "so this run may try other inputs than another with the same seed" >&2
    fi
else
    budget=(-max_total_time="$seconds")
    fixed=()
fi
"${fixed[@]}" "$build/fuzz/fuzz_$harness" "$out/corpus" "${seed_dirs[@]}" \
    "${budget[@]}" -timeout=5 -rss_limit_mb=2048 -malloc_limit_mb=4096 \
    -max_len=65536 -close_fd_mask=2 -print_final_stats=1 ${FUZZ_SEED:+-seed=$FUZZ_SEED} \
    -artifact_prefix="$out/" >"$out/log" 2>&1 &
fuzzer=$!
trap 'kill "$fuzzer" 2>/dev/null || true' EXIT
# libFuzzer reports its count of executions as it goes, in its log: a line
# of progress every FUZZ_PROGRESS seconds (20 by default) with the latest,
# so that a long or slowed run is never silent.
every=${FUZZ_PROGRESS:-20}
started=$SECONDS next=$every
while kill -0 "$fuzzer" 2>/dev/null; do
    sleep 1
    if ((SECONDS - started >= next)); then
        next=$((next + every))
        count=$(grep -ao '^#[0-9]*' "$out/log" | tail -n 1 | tr -d '#')
        echo "$harness: $((SECONDS - started)) s, ${count:-no} executions${FUZZ_RUNS:+ of $FUZZ_RUNS} so far"
    fi
done
wait "$fuzzer" && status=0 || status=$?
trap - EXIT
echo "$harness: done in $((SECONDS - started)) s"
grep -E '^(stat::|#[0-9]+ +DONE|SUMMARY|==[0-9]+== ?ERROR|ALARM)' "$out/log" | sed "s/^/$harness: /"
for finding in "$out"/crash-* "$out"/leak-* "$out"/timeout-* "$out"/oom-*; do
    [ -e "$finding" ] || continue
    echo "$harness: finding $finding"
    echo "$harness:   repeat it with $build/fuzz/fuzz_$harness $finding"
    # libFuzzer names a finding after its content's SHA-1; a seed that is
    # itself the culprit has the same digest.
    digest=${finding##*-}
    find "${seed_dirs[@]}" -type f -exec sha1sum {} + 2>/dev/null |
        awk -v d="$digest" -v h="$harness" '$1 == d { sub(/^[^ ]+  /, ""); print h ":   it is this starting input: " $0 }'
done
exit $status
