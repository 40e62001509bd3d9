#!/usr/bin/env bash
# sanitized.sh - the demo built with AddressSanitizer and UndefinedBehaviorSanitizer
# (CAUSTIC_SANITIZE), started on the default maps in a window on Xvfb,
# dragged, left to draw fifty frames more (under a second at this build's
# speed) and quit with Escape: status 0, no memory error, no undefined
# behaviour, and no leaked block that the demo or the image library allocated.
# Blocks that SDL and the libraries it loads keep until exit are theirs; the
# two maps live in globals until exit by design, so they are never reported.
# Usage: sanitized.sh DEMO MAKE_MAPS COUNT_FRAMES
DEMO=$1 MAKE_MAPS=$2 COUNT_FRAMES_LIB=$3
. "$(dirname "$0")/lib.sh"

# Leaks are reported but do not change the exit status: the report is read
# below, where the libraries' own blocks can be told from ours.
# The frame counter is preloaded ahead of the sanitizer's runtime, which
# would otherwise refuse to start.
export ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0
export LSAN_OPTIONS=exitcode=0
export UBSAN_OPTIONS=print_stacktrace=1

start_xvfb
dir=$(make_workdir run)
start_counted_demo "$dir"
w=$(demo_window)
xdotool mousemove --window "$w" 100 100 mousedown 1 \
    mousemove --window "$w" 300 200 mousemove --window "$w" 600 400 mouseup 1
wait_frames 50
xdotool windowfocus --sync "$w" 2>/dev/null || xdotool windowfocus "$w"
xdotool key Escape
wait_demo
[ "$STATUS" = 0 ] || fail "status after Escape is $STATUS: $(cat "$dir/err")"

if grep -qE 'ERROR: AddressSanitizer|runtime error' "$dir/err"; then
    fail "sanitizer report: $(cat "$dir/err")"
fi
# The frame that called the allocator is the first after the allocator's own;
# a leak is ours when that frame lies in our sources.
ours=$(awk '/^Direct leak|^Indirect leak/ { want = 1; next }
            want && /^ *#1 / { print; want = 0 }' "$dir/err" | grep -E '/(src|tools)/' || true)
[ -z "$ours" ] || fail "leaks allocated by the demo or the library: $ours
$(cat "$dir/err")"
echo "clean: $(grep -c '^Direct leak\|^Indirect leak' "$dir/err") leak report(s), all from SDL and its libraries"
