#!/usr/bin/env bash
# runs.sh - runs bench/all.sh several times and prints one table in which each
# row gives the range of its median ratios over the complete runs: one run's
# figure moves by up to 0.2 from the next on a shared machine, so a single run
# says less than it seems to. It ends with the machine it ran on (CPU, cores,
# load, huge pages) and a verdict on each of the project's performance targets
# (docs/performance.md) for that machine: the range measured, met or not.
# Usage: bench/runs.sh [RUNS] [BUILD_DIR]   (default: 3 runs of build-release)
#   BENCH_ONLY (see bench/all.sh) runs some of the benchmarks only; a target
#   none of whose rows ran is "not measured".
set -eu
here=$(cd "$(dirname "$0")" && pwd)
runs=${1:-3}
build=${2:-$here/../build-release}
dir=$(mktemp -d "${TMPDIR:-/tmp}/bench-runs.XXXXXX")
trap 'rm -rf "$dir"' EXIT
load() { cut -d' ' -f1 /proc/loadavg; }
loads=$(load)
for r in $(seq 1 "$runs"); do
    echo "complete run $r of $runs ..." >&2
    bash "$here/all.sh" "$build" >"$dir/run$r"
    grep -m1 '^Machine:' "$dir/run$r" >&2
    loads="$loads $(load)"
done
echo "Runs: $runs complete runs of bench/all.sh; $(date -u +%Y-%m-%d)."
echo "ours: the lowest and highest of the runs' median times; ratio: the lowest and highest of"
echo "the runs' median ratios (below 1 ours is faster; for the frame rate, above 1)."
echo
echo "| what | ours | baseline | ratio over $runs runs |"
echo "|---|---|---|---|"

# The targets: what, the rows (what, baseline) they judge, and the highest
# ratio that meets them. Every row and every run must be at or below it.
targets="TGA warm loads at least 3 x faster than stb_image;^TGA (photo|noise|screenshot|rgba) .*, warm$;^stb_image$;0.33
First loads of 2048 x 2048 PNG at most 0.6 x stb_image;^PNG .*2048x2048, first load$;^stb_image$;0.60
First loads of 2048 x 2048 JPEG at most 0.6 x stb_image;^JPEG .*2048x2048, first load$;^stb_image$;0.60
First loads of 2048 x 2048 TGA at most 0.6 x stb_image;^TGA .*2048x2048, first load$;^stb_image$;0.60
JPEG warm loads at most 0.95 x the bare decode;^JPEG .*, warm$;^bare libjpeg;0.95
JPEG warm loads ahead of stb_image;^JPEG .*, warm$;^stb_image$;0.99
PNG photo and noise warm loads at most 0.95 x bare libpng;^PNG (photo|noise) .*, warm$;^bare libpng;0.95
PNG photo and noise warm loads at most 1.0 x stb_image;^PNG (photo|noise) .*, warm$;^stb_image$;1.00
Files the strict mode reads load as fast warm with IMAGE_READ_ANY (at most 1.05 x);^(PNG|JPEG|TGA) with IMAGE_READ_ANY .*, warm$;^the strict mode$;1.05
Grey and palette PNG with IMAGE_READ_ANY at most 1.1 x an RGB PNG of their size;^(grey|palette) PNG with IMAGE_READ_ANY .*;^RGB PNG of its size$;1.10"

# Rows are matched by what and baseline; columns: what, ours, baseline,
# baseline's time, ratio, range.
cat "$dir"/run* | awk -F' [|] ' -v targets="$targets" '
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
    function range(lo, hi) { return lo == hi ? sprintf("%.2f", lo) : sprintf("%.2f-%.2f", lo, hi) }
    END {
        for (i = 1; i <= n; i++) {
            k = order[i]
            times = (tlo[k] == thi[k]) ? sprintf("%s %s", tlo[k], unit[k]) : sprintf("%s-%s %s", tlo[k], thi[k], unit[k])
            ratio = (k in rlo) ? range(rlo[k], rhi[k]) : ""
            printf "| %s | %s | %s | %s |\n", what[k], times, base[k], ratio
        }
        print ""
        print "Targets on this machine: each row judged by its highest ratio over the runs."
        print ""
        print "| target | rows | measured | verdict |"
        print "|---|---|---|---|"
        count = split(targets, list, "\n")
        for (j = 1; j <= count; j++) {
            split(list[j], f, ";")
            rows = 0; over = 0; lo = ""; hi = ""
            for (i = 1; i <= n; i++) {
                k = order[i]
                if (!(k in rlo) || what[k] !~ f[2] || base[k] !~ f[3]) continue
                rows++
                if (lo == "" || rlo[k] < lo) lo = rlo[k]
                if (hi == "" || rhi[k] > hi) hi = rhi[k]
                if (rhi[k] > f[4] + 0) over++
            }
            if (rows == 0)
                printf "| %s | 0 | | not measured |\n", f[1]
            else
                printf "| %s | %d | %s | %s |\n", f[1], rows, range(lo, hi),
                       over == 0 ? "met" : sprintf("not met: %d of %d rows above %s", over, rows, f[4])
        }
    }'
thp=$(sed -n 's/.*\[\(.*\)\].*/\1/p' /sys/kernel/mm/transparent_hugepage/enabled 2>/dev/null || true)
echo
echo "Machine: $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), $(nproc) cores," \
    "$(uname -sr), transparent huge pages ${thp:-unknown}."
echo "Load average (1 minute) before and after each run: $loads."
echo "First loads depend on what a page fault costs here, synced saves on the disk; warm decode ratios"
echo "travel from machine to machine (docs/performance.md)."
