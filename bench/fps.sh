#!/usr/bin/env bash
# fps.sh - frames per second of the real demo on a private Xvfb display,
# against a bare copy-and-flip loop on the same display. Both programs run
# unchanged; a preloaded wrapper counts their SDL_Flip calls. Runs alternate
# so that a busy spell on the machine hits both; prints the medians and their
# ratio.
# Usage: fps.sh BUILD_DIR [ROUNDS] [SECONDS]
set -u
BUILD=$(cd "$1" && pwd) ROUNDS=${2:-5} SECONDS_PER_RUN=${3:-4}
DEMO=$BUILD/caustic MAKE_MAPS=$BUILD/make_maps
BARE=$BUILD/bench/bench_flip SHIM=$BUILD/bench/libflip_count.so
. "$(dirname "$0")/../tests/e2e/lib.sh"

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

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

start_xvfb
dir=$(make_workdir run)
bare_rates= demo_rates=
for r in $(seq 1 "$ROUNDS"); do
    b=$(rate_of "$BARE" "$dir") d=$(rate_of "$DEMO" "$dir")
    echo "round $r: bare copy-and-flip $b fps, demo $d fps"
    bare_rates="$bare_rates$b"$'\n' demo_rates="$demo_rates$d"$'\n'
done
bare=$(printf '%s' "$bare_rates" | median) demo=$(printf '%s' "$demo_rates" | median)
echo "median: bare copy-and-flip $bare fps, demo $demo fps"
awk -v d="$demo" -v b="$bare" 'BEGIN { printf "ratio demo / bare: %.3f (target at least 0.95)\n", d / b }'
awk -v d="$demo" -v b="$bare" 'BEGIN { if (b > 0) printf "| demo frame rate under Xvfb | %.1f fps | bare copy-and-flip loop | %.1f fps | %.2f |\n", d, b, d / b }'
