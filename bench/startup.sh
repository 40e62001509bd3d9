#!/usr/bin/env bash
# startup.sh - the demo's start-up on the default maps, from exec to its
# first frame on a private Xvfb display (loading both maps, the light map,
# the window), against the same span for a bare copy-and-flip loop, which
# only opens the window. Runs alternate; prints the medians, the median of the
# per-round ratios and their spread.
# Usage: startup.sh BUILD_DIR [ROUNDS]
set -u
BUILD=$(cd "$1" && pwd) ROUNDS=${2:-9}
DEMO=$BUILD/caustic MAKE_MAPS=$BUILD/caustic-make-maps
BARE=$BUILD/bench/bench_flip SHIM=$BUILD/bench/libflip_count.so
. "$(dirname "$0")/../tests/e2e/lib.sh"
. "$(dirname "$0")/alternate.sh"

# Runs program $1 in directory $2 until its first frame; prints the seconds.
start_up_of() {
    local out="$E2E_TMP/start.$RANDOM"
    (cd "$2" && FLIP_START_OUT="$out" LD_PRELOAD="$SHIM" FLIP_START=$EPOCHREALTIME \
        exec "$1" >/dev/null 2>&1 </dev/null)
    [ -s "$out" ] || fail "$1 drew no frame"
    cat "$out"
}

start_xvfb
dir=$(make_workdir run)
alternate "$ROUNDS" start_up_of "$BARE" "$DEMO" "$dir"
echo "median: bare loop $bare s, demo $demo s"
awk -v d="$demo" -v b="$bare" -v r="$ratio" -v lo="$lo" -v hi="$hi" 'BEGIN {
    printf "| demo start-up, exec to first frame under Xvfb | %.1f ms | bare copy-and-flip loop, same span | %.1f ms | %.2f | %.2f-%.2f |\n",
        d * 1e3, b * 1e3, r, lo, hi }'
