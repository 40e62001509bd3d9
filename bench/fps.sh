#!/usr/bin/env bash
# fps.sh - frames per second of the real demo on a private Xvfb display,
# against a bare copy-and-flip loop on the same display. Both programs run
# unchanged; a preloaded wrapper counts their SDL_Flip calls. Runs alternate
# so that a busy spell on the machine hits both; prints the medians, the
# median of the per-round ratios and their range.
# Usage: fps.sh BUILD_DIR [ROUNDS] [SECONDS]
set -u
BUILD=$(cd "$1" && pwd) ROUNDS=${2:-5} SECONDS_PER_RUN=${3:-4}
DEMO=$BUILD/caustic MAKE_MAPS=$BUILD/caustic-make-maps
BARE=$BUILD/bench/bench_flip SHIM=$BUILD/bench/libflip_count.so
. "$(dirname "$0")/../tests/e2e/lib.sh"
. "$(dirname "$0")/alternate.sh"

# Runs one program in directory $2 for SECONDS_PER_RUN and prints its rate.
rate_of() {
    local out="$E2E_TMP/flips.$RANDOM"
    (cd "$2" && FLIP_COUNT_OUT="$out" LD_PRELOAD="$SHIM" exec "$1" >/dev/null 2>&1 </dev/null) &
    DEMO_PID=$!
    sleep "$SECONDS_PER_RUN"
    kill -TERM "$DEMO_PID"
    wait_demo
    [ "$STATUS" = 0 ] || fail "$1 ended with status $STATUS"
    awk '$2 > 0 { printf "%.1f\n", $1 / $2 }' "$out"
}

start_xvfb
dir=$(make_workdir run)
alternate "$ROUNDS" rate_of "$BARE" "$DEMO" "$dir"
echo "median: bare copy-and-flip $bare fps, demo $demo fps"
awk -v d="$demo" -v b="$bare" -v r="$ratio" -v lo="$lo" -v hi="$hi" 'BEGIN {
    printf "| demo frame rate under Xvfb | %.1f fps | bare copy-and-flip loop | %.1f fps | %.2f | %.2f-%.2f |\n", d, b, r, lo, hi }'
