# lib.sh - shared helpers for the end-to-end tests: a private Xvfb display,
# the demo's window, and clean-up of everything a test started.
# Sourced by the test scripts; expects DEMO (the executable) and MAKE_MAPS.

set -u

E2E_TMP=$(mktemp -d "${TMPDIR:-/tmp}/caustic-e2e.XXXXXX")
# Without it SDL prints a warning on standard error under X.
export XDG_RUNTIME_DIR="$E2E_TMP/runtime"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
XVFB_PID=
DEMO_PID=
DEMO_DIR=

e2e_cleanup() {
    [ -n "$DEMO_PID" ] && kill -9 "$DEMO_PID" 2>/dev/null
    stop_xvfb
    rm -rf "$E2E_TMP"
}
trap e2e_cleanup EXIT

# A helper may run in a subshell, as in w=$(demo_window) or on either side of
# a pipe, where exit would leave only that subshell and the test would go on
# without what it asked for. So fail ends the test's own shell as well.
E2E_SHELL=$BASHPID
trap 'exit 1' USR1
fail() {
    echo "FAIL: $*" >&2
    [ "$BASHPID" = "$E2E_SHELL" ] || kill -USR1 "$E2E_SHELL"
    exit 1
}

# Starts Xvfb on a free display and exports DISPLAY. Xvfb picks the number
# itself and reports it once it is ready (-displayfd): tests running side by
# side cannot race for the same number and end up sharing one server.
start_xvfb() {
    local i n=
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp \
        3>"$E2E_TMP/display" >"$E2E_TMP/xvfb.log" 2>&1 &
    XVFB_PID=$!
    for i in $(seq 1 100); do
        n=$(cat "$E2E_TMP/display" 2>/dev/null)
        [ -n "$n" ] && break
        kill -0 "$XVFB_PID" 2>/dev/null || break
        sleep 0.05
    done
    [ -n "$n" ] || fail "could not start Xvfb: $(cat "$E2E_TMP/xvfb.log")"
    export DISPLAY=":$n"
    # This probe is the server's first client; when it leaves, the server
    # resets, and a program starting right then meets a refused connection.
    # The demo copes with that, and the tests leave the race in on purpose.
    # The probe itself can meet a refusal too, so it is tried for a while.
    for i in $(seq 1 100); do
        xdotool getdisplaygeometry >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    fail "Xvfb on $DISPLAY does not answer"
}

stop_xvfb() {
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    XVFB_PID=
}

# A working directory holding the default maps.
make_workdir() {
    local dir="$E2E_TMP/$1"
    mkdir -p "$dir"
    "$MAKE_MAPS" "$dir" || fail "caustic-make-maps failed"
    echo "$dir"
}

# Starts the demo in directory $1, stdout/stderr to $1/out and $1/err.
start_demo() {
    (cd "$1" && exec "$DEMO" >out 2>err </dev/null) &
    DEMO_PID=$! DEMO_DIR=$1
}

# Starts the demo as start_demo does, with the frame counter (COUNT_FRAMES_LIB,
# the count_frames module) preloaded: frames_drawn and wait_frames read it.
start_counted_demo() {
    rm -f "$E2E_TMP/frames"
    COUNT_FRAMES=$E2E_TMP/frames LD_PRELOAD="${LD_PRELOAD:+$LD_PRELOAD }$COUNT_FRAMES_LIB" start_demo "$1"
}

# The frames the counted demo has presented so far.
frames_drawn() {
    local n
    n=$(od -An -tu8 -N8 "$E2E_TMP/frames" 2>/dev/null | tr -d ' ')
    echo "${n:-0}"
}

# Waits, up to 30 s, until the counted demo has presented $1 frames more than
# it had: proof that it drew in between, on a fast machine or a slow one.
wait_frames() {
    local want i
    want=$(($(frames_drawn) + $1))
    for i in $(seq 1 600); do
        [ "$(frames_drawn)" -ge "$want" ] && return 0
        kill -0 "$DEMO_PID" 2>/dev/null || fail "the demo ended after $(frames_drawn) frames: $(cat "$DEMO_DIR/err")"
        sleep 0.05
    done
    fail "the demo presented $(frames_drawn) frames, not the $want waited for"
}

# Prints the id of the demo's window once it is shown.
shown_window() {
    local i w
    for i in $(seq 1 400); do
        w=$(xdotool search --onlyvisible --pid "$DEMO_PID" 2>/dev/null | head -n 1)
        [ -n "$w" ] && { echo "$w"; return 0; }
        kill -0 "$DEMO_PID" 2>/dev/null ||
            fail "the demo ended before showing its window: $(cat "$DEMO_DIR/err")"
        sleep 0.05
    done
    fail "no window appeared"
}

# Prints the id of the demo's window once it has drawn a frame. SDL maps a
# first window, then destroys it and makes another for OpenGL, so the window
# is looked up again until one can be grabbed; it is black until the first
# frame, which on a busy machine can take a while after the maps are read.
demo_window() {
    local i w
    for i in $(seq 1 400); do
        w=$(shown_window)
        xwd -silent -id "$w" >"$E2E_TMP/first.xwd" 2>/dev/null &&
            [ -n "$(tail -c 1228800 "$E2E_TMP/first.xwd" | tr -d '\0' | head -c 1)" ] &&
            { echo "$w"; return 0; }
        kill -0 "$DEMO_PID" 2>/dev/null || fail "the demo ended before drawing: $(cat "$DEMO_DIR/err")"
        sleep 0.05
    done
    fail "no frame in the window: $(cat "$DEMO_DIR/err")"
}

# Waits up to 10 s for the demo to end and sets STATUS to its exit status
# ("running" if it has not ended). Not for $(...): only this shell can wait.
wait_demo() {
    local i
    STATUS=running
    for i in $(seq 1 200); do
        if ! kill -0 "$DEMO_PID" 2>/dev/null; then
            wait "$DEMO_PID"
            STATUS=$?
            DEMO_PID=
            return 0
        fi
        sleep 0.05
    done
}

# Captures the window's exact pixels in xwd format.
grab() {
    xwd -silent -id "$1" >"$2" || fail "xwd failed"
}
