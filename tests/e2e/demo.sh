#!/usr/bin/env bash
# demo.sh - the demo executable as a user meets it: start-up failures, quitting,
# and dragging the ray, under SDL's dummy driver or in a real window on Xvfb.
# Usage: demo.sh CASE DEMO MAKE_MAPS WM_CLOSE REFUSE_X COUNT_FRAMES
#   REFUSE_X is a preloadable library that refuses the first $REFUSE_X_COUNT
#   connections to the X server; COUNT_FRAMES one that counts the frames shown.
CASE=$1 DEMO=$2 MAKE_MAPS=$3 WM_CLOSE=$4 REFUSE_X=$5 COUNT_FRAMES_LIB=$6
. "$(dirname "$0")/lib.sh"

# Starts the demo in $dir and checks that it fails its start with status 1
# and exactly the line $2 on standard error; $1 names the case.
expect_failure() {
    start_demo "$dir"
    wait_demo; [ "$STATUS" = 1 ] || fail "$1: status $STATUS, not 1"
    [ "$(cat "$dir/err")" = "$2" ] || fail "$1: unexpected standard error: $(cat "$dir/err")"
}

no_display="No display available: the demo needs an X or Wayland display (set DISPLAY)"

# Presses and releases a key on the window through the X server's input path.
press() {
    xdotool windowfocus --sync "$1" 2>/dev/null || xdotool windowfocus "$1"
    xdotool key "$2"
}

case "$CASE" in
sigterm_dummy)
    # No window at all: the dummy driver. A SIGTERM is a quit like any other.
    dir=$(make_workdir run)
    export SDL_VIDEODRIVER=dummy
    start_counted_demo "$dir"
    # Sent before SDL catches it, SIGTERM would kill the demo outright: wait
    # until the handler is in place (bit 15 of the caught-signal mask).
    for i in $(seq 1 200); do
        mask=$(awk '/^SigCgt:/ { print $2 }' "/proc/$DEMO_PID/status" 2>/dev/null)
        [ -n "$mask" ] && (((16#$mask >> 14) & 1)) && break
        sleep 0.05
    done
    wait_frames 10 # it keeps running, drawing
    kill -TERM "$DEMO_PID"
    wait_demo; [ "$STATUS" = 0 ] || fail "status after SIGTERM is not 0"
    ;;
no_display)
    # Outside any session, where SDL's Wayland driver has libwayland complain
    # of XDG_RUNTIME_DIR: the demo's own line is still the only one.
    dir=$(make_workdir run)
    unset DISPLAY WAYLAND_DISPLAY SDL_VIDEODRIVER XDG_RUNTIME_DIR
    expect_failure no_display "$no_display"
    ;;
display_refused)
    # A display that refuses the demo's first connections, as a server does
    # while it resets, still gets its window; one that refuses them all is
    # reported as no display, after a bounded wait.
    start_xvfb
    dir=$(make_workdir run)
    REFUSE_X_COUNT=3 LD_PRELOAD=$REFUSE_X start_demo "$dir"
    w=$(demo_window)
    press "$w" Escape
    wait_demo; [ "$STATUS" = 0 ] || fail "status after Escape is not 0"
    # Nine starts of SDL's video, and still one line.
    unset XDG_RUNTIME_DIR
    REFUSE_X_COUNT=1000000 LD_PRELOAD=$REFUSE_X expect_failure every_connection_refused "$no_display"
    ;;
missing_offset_map)
    start_xvfb
    dir=$(make_workdir run)
    # normal.png is gone too: had the demo gone on to look for it, standard
    # error would name it as well.
    rm "$dir/out.png" "$dir/normal.png"
    start_demo "$dir"
    wait_demo; [ "$STATUS" = 1 ] || fail "status with out.png missing is not 1"
    [ "$(cat "$dir/err")" = "Image loading error: could not open file out.png" ] ||
        fail "unexpected standard error: $(cat "$dir/err")"
    ;;
load_failures)
    # Every failed load says why in one line: the library's own message where
    # it prints one, else the reason it recorded. No window is needed.
    export SDL_VIDEODRIVER=dummy
    maps=$(make_workdir maps)
    not_jfif="JPEG files without a JFIF header (Exif or Adobe ones, for instance) are not supported"
    for case in exif cmyk grey palette empty folder cut; do
        dir="$E2E_TMP/$case"
        cp -r "$maps" "$dir"
        case $case in
        exif)
            printf '\377\330\377\341\000\020Exif\000\000' >"$dir/out.png"
            expect_failure $case "out.png: $not_jfif" ;;
        cmyk)
            convert "$maps/out.png" -colorspace CMYK "JPEG:$dir/out.png" || fail "convert (ImageMagick) is needed"
            expect_failure $case "out.png: $not_jfif" ;;
        grey)
            convert "$maps/normal.png" -colorspace Gray -type Grayscale "PNG:$dir/normal.png" || fail "convert"
            expect_failure $case "normal.png: grey PNG images are not supported" ;;
        palette)
            convert "$maps/out.png" -type Palette "PNG8:$dir/out.png" || fail "convert"
            expect_failure $case "out.png: palette PNG images are not supported" ;;
        empty)
            : >"$dir/out.png"
            expect_failure $case "out.png: the file is empty" ;;
        folder)
            rm "$dir/out.png" && mkdir "$dir/out.png"
            expect_failure $case "out.png: Is a directory" ;;
        cut)
            # libpng's own line stays as it was, and is the only one.
            head -c 3000 "$maps/normal.png" >"$dir/normal.png"
            expect_failure $case "libpng error: Read Error" ;;
        esac
    done
    ;;
unknown_video_driver)
    dir=$(make_workdir run)
    export SDL_VIDEODRIVER=no_such_driver
    expect_failure unknown_video_driver "Could not set the 640 x 480 video mode: no_such_driver not available"
    ;;
wrong_size_normal_map)
    start_xvfb
    dir=$(make_workdir run)
    # A normal map of another size: the default one cropped.
    convert "$dir/normal.png" -crop 320x240+0+0 +repage "PNG24:$dir/normal.png" ||
        fail "convert (ImageMagick) is needed for this test"
    start_demo "$dir"
    wait_demo; [ "$STATUS" = 1 ] || fail "a 320 x 240 normal map was not refused"
    [ "$(wc -l <"$dir/err")" = 1 ] && grep -q "640 x 480" "$dir/err" ||
        fail "unexpected standard error: $(cat "$dir/err")"
    ;;
keys_and_drag)
    # Keys other than Escape change nothing and a left-button drag moves the
    # ray. Events are handled in order, so once the dragged frame shows, the
    # key before it has been handled too.
    start_xvfb
    dir=$(make_workdir run)
    start_demo "$dir"
    w=$(demo_window)
    [ "$(xdotool getwindowname "$w")" = "Caustic demo" ] || fail "window title: $(xdotool getwindowname "$w")"
    grab "$w" "$E2E_TMP/start.xwd"
    press "$w" a
    xdotool mousemove --window "$w" 330 250 mousedown 1 mousemove --window "$w" 340 260 \
        mousemove --window "$w" 320 240 mouseup 1
    for i in $(seq 1 200); do
        kill -0 "$DEMO_PID" 2>/dev/null || fail "a key other than Escape, or the drag, ended the demo"
        grab "$w" "$E2E_TMP/now.xwd"
        cmp -s "$E2E_TMP/start.xwd" "$E2E_TMP/now.xwd" || break
        sleep 0.05
    done
    cmp -s "$E2E_TMP/start.xwd" "$E2E_TMP/now.xwd" && fail "dragging did not change the frame"
    press "$w" Escape
    wait_demo; [ "$STATUS" = 0 ] || fail "status after Escape is not 0"
    [ -s "$dir/err" ] && fail "unexpected standard error: $(cat "$dir/err")"
    ;;
close_window)
    start_xvfb
    dir=$(make_workdir run)
    start_demo "$dir"
    w=$(demo_window)
    "$WM_CLOSE" "$w"
    wait_demo; [ "$STATUS" = 0 ] || fail "status after closing the window is not 0"
    ;;
*)
    fail "unknown case $CASE"
    ;;
esac
echo "PASS: $CASE"
