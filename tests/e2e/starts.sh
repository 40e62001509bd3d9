#!/usr/bin/env bash
# starts.sh - starts the demo COUNT times, each time on a fresh Xvfb server
# that has just answered a probe, and checks that every start shows a window.
# The probe leaving makes the server reset as the demo connects, so some
# starts meet a refused connection, as they would in a script.
# Usage: starts.sh COUNT DEMO MAKE_MAPS
COUNT=$1 DEMO=$2 MAKE_MAPS=$3
. "$(dirname "$0")/lib.sh"

dir=$(make_workdir run)
for i in $(seq 1 "$COUNT"); do
    start_xvfb
    start_demo "$dir"
    shown_window >/dev/null
    kill -TERM "$DEMO_PID"
    wait_demo; [ "$STATUS" = 0 ] || fail "start $i of $COUNT: status $STATUS after SIGTERM"
    stop_xvfb
done
echo "PASS: $COUNT starts, each with a window"
