#!/usr/bin/env bash
# all.sh - runs every benchmark of the project and prints one table: each
# format's load of four kinds of picture against the bare library's decode and
# against stb_image, warm and as a first load; a durable TGA save against the
# same bytes written unsynced; the frame's drawing against a
# plain copy; the demo's frame rate and start-up against a bare copy-and-flip
# loop. Every comparison runs its contenders in alternation, round after
# round, and gives the median of the rounds' ratios and their range.
# Usage: bench/all.sh [BUILD_DIR]   (default: build; built with benchmarks on)
#   BENCH_ONLY, when set, names the parts to run, of: png jpeg tga save frame
#   fps startup (default: all of them).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
parts=${BENCH_ONLY:-png jpeg tga save frame fps startup}
log=$(mktemp "${TMPDIR:-/tmp}/bench-all.XXXXXX")
trap 'rm -f "$log"' EXIT

wanted() { [[ " $parts " == *" $1 "* ]]; }
for part in $parts; do
    case $part in
    png | jpeg | tga | save | frame) need=bench_$part ;;
    fps | startup) need=bench_flip ;;
    *) echo "unknown part $part (png jpeg tga save frame fps startup)" >&2; exit 2 ;;
    esac
    [ -x "$build/bench/$need" ] || { echo "missing $build/bench/$need: build with -DCAUSTIC_BUILD_BENCH=ON" >&2; exit 1; }
done
for format in png jpeg tga; do
    wanted $format || continue
    for mode in "" --first-load; do
        echo "running bench_$format $mode ..." >&2
        "$build/bench/bench_$format" $mode >>"$log" 2>/dev/null
    done
done
# Saves on the build folder's disk and, where there is one, on a tmpfs.
if wanted save; then
    echo "running bench_save ..." >&2
    "$build/bench/bench_save" "$build" $([ -d /dev/shm ] && echo /dev/shm) >>"$log" 2>/dev/null
fi
if wanted frame; then
    echo "running bench_frame ..." >&2
    "$build/bench/bench_frame" >>"$log" 2>/dev/null
fi
for script in fps startup; do
    wanted $script || continue
    echo "running $script.sh ..." >&2
    bash "$here/$script.sh" "$build" >>"$log" 2>/dev/null
done

cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
echo
echo "Machine: $cpu, $(nproc) cores, $(uname -sr), load average $(cut -d' ' -f1-3 /proc/loadavg); $(date -u +%Y-%m-%d)"
echo "Times: medians of CPU time per load (frame rate: of frames per second; start-up and saves: of wall-clock time)."
echo "Ratio: ours / baseline, the median of the per-round ratios (below 1 ours is faster; for the frame"
echo "rate, above 1); range: the lowest and highest round."
echo
echo "| what | ours | baseline | baseline's | ratio | range |"
echo "|---|---|---|---|---|---|"
grep '^| ' "$log"
