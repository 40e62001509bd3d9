# alternate.sh - rounds of two programs measured in turn, for fps.sh and
# startup.sh (sourced). `alternate ROUNDS MEASURE BARE DEMO DIR` calls
# "MEASURE PROGRAM DIR" for the bare program, then the demo, ROUNDS times, and
# sets bare and demo (the medians) and ratio, lo and hi (the median, lowest
# and highest of the rounds' demo / bare).

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

alternate() {
    local rounds=$1 measure=$2 bare_program=$3 demo_program=$4 dir=$5 r b d
    local bare_values= demo_values= ratios=
    for r in $(seq 1 "$rounds"); do
        b=$("$measure" "$bare_program" "$dir") d=$("$measure" "$demo_program" "$dir")
        echo "round $r: bare $b, demo $d"
        bare_values="$bare_values$b"$'\n' demo_values="$demo_values$d"$'\n'
        ratios="$ratios$(awk -v d="$d" -v b="$b" 'BEGIN { if (b > 0) print d / b }')"$'\n'
    done
    bare=$(printf '%s' "$bare_values" | median) demo=$(printf '%s' "$demo_values" | median)
    ratio=$(printf '%s' "$ratios" | median)
    lo=$(printf '%s' "$ratios" | sort -g | head -n 1) hi=$(printf '%s' "$ratios" | sort -g | tail -n 1)
}
