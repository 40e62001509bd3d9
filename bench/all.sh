#!/usr/bin/env bash
# all.sh - runs every benchmark of the project and prints one table: each
# format's load against the bare library decode and against stb_image, the
# frame's drawing against a plain copy, and the demo's frame rate against a
# bare copy-and-flip loop. Every ratio compares two medians from the same run.
# Usage: bench/all.sh [BUILD_DIR]   (default: build; built with benchmarks on)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
log=$(mktemp "${TMPDIR:-/tmp}/bench-all.XXXXXX")
trap 'rm -f "$log"' EXIT

for b in bench_png bench_jpeg bench_tga bench_frame; do
    [ -x "$build/bench/$b" ] || { echo "missing $build/bench/$b: build with -DCAUSTIC_BUILD_BENCH=ON" >&2; exit 1; }
    echo "running $b ..." >&2
    "$build/bench/$b" >>"$log" 2>/dev/null
done
echo "running fps.sh ..." >&2
bash "$here/fps.sh" "$build" >>"$log" 2>/dev/null

cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
echo
echo "Machine: $cpu, $(nproc) cores, $(uname -sr); $(date -u +%Y-%m-%d)"
echo "Medians of CPU time (frame rate: medians of frames per second); ratio = ours / baseline"
echo
echo "| what | ours | baseline | baseline's | ratio |"
echo "|---|---|---|---|---|"
grep '^| ' "$log"
