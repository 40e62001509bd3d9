#!/usr/bin/env bash
# frames.sh - the demo's window shows, pixel for pixel, the frames that the
# headless renderer computes: before any drag, after a left-button drag, and
# after the pointer moves on with the button up.
# Usage: frames.sh DEMO MAKE_MAPS RENDER_FRAME COUNT_FRAMES
DEMO=$1 MAKE_MAPS=$2 RENDER_FRAME=$3 COUNT_FRAMES_LIB=$4
. "$(dirname "$0")/lib.sh"

command -v convert >/dev/null || fail "convert (ImageMagick) is needed for this test"

# Raw RGB bytes of an image file; the window is 24 bits deep, so alpha never
# takes part.
rgb_of() {
    convert "$1" -depth 8 rgb:- || fail "convert could not read $1"
}

# The frame the renderer gives for a pointer position, as raw RGB in $2.
expected() {
    "$RENDER_FRAME" ${1:+--pointer $1} -o "$E2E_TMP/expected.png" "$dir" || fail "caustic-render-frame failed"
    rgb_of "$E2E_TMP/expected.png" >"$2"
}

# Waits up to 5 s for the window to show the frame in $2: the demo draws
# continuously, so a screenshot taken too early shows the previous frame.
window_shows() {
    local i
    for i in $(seq 1 50); do
        grab "$w" "$E2E_TMP/window.xwd"
        rgb_of "xwd:$E2E_TMP/window.xwd" >"$E2E_TMP/window.rgb"
        cmp -s "$E2E_TMP/window.rgb" "$2" && return 0
        sleep 0.1
    done
    local n
    n=$(cmp -l "$E2E_TMP/window.rgb" "$2" 2>/dev/null | wc -l)
    fail "$1: the window differs from the rendered frame in $n bytes (of $(stat -c %s "$2"))"
}

start_xvfb
dir=$(make_workdir run)
start_counted_demo "$dir"
w=$(demo_window) || fail "no window: $(cat "$dir/err")"

expected "" "$E2E_TMP/start.rgb"
window_shows "before any drag" "$E2E_TMP/start.rgb"

# Drag from the middle to (457, 131), released there.
xdotool mousemove --window "$w" 320 240 mousedown 1 \
        mousemove --window "$w" 400 180 mousemove --window "$w" 457 131 mouseup 1
expected "457 131" "$E2E_TMP/dragged.rgb"
cmp -s "$E2E_TMP/start.rgb" "$E2E_TMP/dragged.rgb" && fail "the two frames compared are the same"
window_shows "after dragging to (457, 131)" "$E2E_TMP/dragged.rgb"

# Moving on with the button up leaves the frame as it was: once the server
# has moved the pointer (--sync), the demo has the motion events queued, and
# handles them before the second frame it draws after that.
xdotool mousemove --window "$w" 100 400 mousemove --sync --window "$w" 600 50
wait_frames 3
window_shows "after moving with the button up" "$E2E_TMP/dragged.rgb"

# A second drag, to the far corner, where the last column and row only
# ever receive light as neighbours.
xdotool mousedown 1 mousemove --window "$w" 639 479 mouseup 1
expected "639 479" "$E2E_TMP/corner.rgb"
window_shows "after dragging to (639, 479)" "$E2E_TMP/corner.rgb"

kill -0 "$DEMO_PID" 2>/dev/null || fail "the demo ended"
[ -s "$dir/err" ] && fail "unexpected standard error: $(cat "$dir/err")"
echo "PASS: frames"
