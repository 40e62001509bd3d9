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

e2e_cleanup() {
    [ -n "$DEMO_PID" ] && kill -9 "$DEMO_PID" 2>/dev/null
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    rm -rf "$E2E_TMP"
}
trap e2e_cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Starts Xvfb on the first free display number and exports DISPLAY.
start_xvfb() {
    local n
    for n in $(seq 90 140); do
        [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$E2E_TMP/xvfb.log" 2>&1 &
        XVFB_PID=$!
        export DISPLAY=":$n"
        local i
        for i in $(seq 1 100); do
            xdotool getdisplaygeometry >/dev/null 2>&1 && return 0
            kill -0 "$XVFB_PID" 2>/dev/null || break
            sleep 0.05
        done
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
        XVFB_PID=
    done
    fail "could not start Xvfb"
}

# A working directory holding the default maps.
make_workdir() {
    local dir="$E2E_TMP/$1"
    mkdir -p "$dir"
    "$MAKE_MAPS" "$dir" || fail "make_maps failed"
    echo "$dir"
}

# Starts the demo in directory $1, stdout/stderr to $1/out and $1/err.
start_demo() {
    (cd "$1" && exec "$DEMO" >out 2>err </dev/null) &
    DEMO_PID=$!
}

# Prints the id of the demo's visible window once it has drawn.
demo_window() {
    local i w
    for i in $(seq 1 200); do
        w=$(xdotool search --onlyvisible --pid "$DEMO_PID" 2>/dev/null | head -n 1)
        [ -n "$w" ] && { sleep 0.3; echo "$w"; return 0; }
        kill -0 "$DEMO_PID" 2>/dev/null || fail "the demo ended before showing its window"
        sleep 0.05
    done
    fail "no window appeared"
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
