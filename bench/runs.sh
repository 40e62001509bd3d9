#!/usr/bin/env bash
# runs.sh - runs bench/all.sh several times and prints one table in which each
# row gives the range of its median ratios over the complete runs: one run's
# figure moves by up to 0.2 from the next on a shared machine, so a single run
# says less than it seems to.
# Usage: bench/runs.sh [RUNS] [BUILD_DIR]   (default: 3 runs of build-release)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
runs=${1:-3}
build=${2:-$here/../build-release}
dir=$(mktemp -d "${TMPDIR:-/tmp}/bench-runs.XXXXXX")
trap 'rm -rf "$dir"' EXIT
for r in $(seq 1 "$runs"); do
    echo "complete run $r of $runs ..." >&2
    bash "$here/all.sh" "$build" >"$dir/run$r"
    grep -m1 '^Machine:' "$dir/run$r" >&2
done
echo "Runs: $runs complete runs of bench/all.sh; $(date -u +%Y-%m-%d)."
echo "ours: the lowest and highest of the runs' median times; ratio: the lowest and highest of"
echo "the runs' median ratios (below 1 ours is faster; for the frame rate, above 1)."
echo
echo "| what | ours | baseline | ratio over $runs runs |"
echo "|---|---|---|---|"
# Rows are matched by what and baseline; columns: what, ours, baseline,
# baseline's time, ratio, range.
cat "$dir"/run* | awk -F' [|] ' '
    /^\| / && $1 != "| what" && $1 !~ /^\|---/ {
        # The baseline names the row; figures in it (ns per pixel) do not.
        named = $3
        gsub(/[0-9][0-9.]*/, "#", named)
        key = $1 " | " named
        if (!(key in seen)) { seen[key] = 1; order[++n] = key; what[key] = substr($1, 3); base[key] = $3 }
        split($2, t, " "); unit[key] = t[2]
        if (!(key in tlo) || t[1] + 0 < tlo[key]) tlo[key] = t[1] + 0
        if (!(key in thi) || t[1] + 0 > thi[key]) thi[key] = t[1] + 0
        r = $5
        if (r ~ /^[0-9.]+$/) {
            if (!(key in rlo) || r + 0 < rlo[key]) rlo[key] = r + 0
            if (!(key in rhi) || r + 0 > rhi[key]) rhi[key] = r + 0
        }
    }
    END {
        for (i = 1; i <= n; i++) {
            k = order[i]
            times = (tlo[k] == thi[k]) ? sprintf("%s %s", tlo[k], unit[k]) : sprintf("%s-%s %s", tlo[k], thi[k], unit[k])
            ratio = (k in rlo) ? ((rlo[k] == rhi[k]) ? sprintf("%.2f", rlo[k]) : sprintf("%.2f-%.2f", rlo[k], rhi[k])) : ""
            printf "| %s | %s | %s | %s |\n", what[k], times, base[k], ratio
        }
    }'
