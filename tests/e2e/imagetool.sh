#!/usr/bin/env bash
# imagetool.sh - the image command-line tool as a user meets it.
# Usage: imagetool.sh IMAGETOOL MAKE_MAPS
set -u
TOOL=$1 MAKE_MAPS=$2
tmp=$(mktemp -d "${TMPDIR:-/tmp}/imagetool.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
run() { "$TOOL" "$@" >"$tmp/out" 2>"$tmp/err"; status=$?; }

"$MAKE_MAPS" "$tmp" || fail "make_maps"
cp "$tmp/normal.png" "$tmp/normal.tga"   # the name plays no part

run --help
[ $status = 0 ] && grep -q "^Usage: imagetool info" "$tmp/out" || fail "--help"
run
[ $status = 2 ] && grep -q "no command" "$tmp/err" || fail "no command: $status"
run convert --bogus a b
[ $status = 2 ] && grep -q "unknown option --bogus" "$tmp/err" || fail "unknown option: $status"
run frobnicate x
[ $status = 2 ] || fail "unknown command: $status"

run info "$tmp/normal.tga" "$tmp/out.png"
[ $status = 0 ] || fail "info: $(cat "$tmp/err")"
[ "$(cat "$tmp/out")" = "$tmp/normal.tga: PNG 640x480
$tmp/out.png: PNG 640x480" ] || fail "info printed: $(cat "$tmp/out")"

printf 'not an image at all' >"$tmp/junk"
run info "$tmp/junk" "$tmp/missing"
[ $status = 1 ] || fail "info on bad files: $status"
grep -q "junk: not an image this library reads" "$tmp/err" && grep -q "missing: No such file" "$tmp/err" ||
    fail "info messages: $(cat "$tmp/err")"

# Conversions under every flag combination read back as the same picture
# (flipped when asked) and 24- or 32-bit as asked.
for flags in "" "--alpha" "--flip" "--alpha --flip"; do
    # shellcheck disable=SC2086
    run convert $flags "$tmp/out.png" "$tmp/c.tga"
    [ $status = 0 ] || fail "convert $flags: $(cat "$tmp/err")"
    run info "$tmp/c.tga"
    [ "$(cat "$tmp/out")" = "$tmp/c.tga: TGA 640x480" ] || fail "converted file: $(cat "$tmp/out")"
    depth=$(od -An -tu1 -j16 -N1 "$tmp/c.tga" | tr -d ' ')
    case "$flags" in *alpha*) [ "$depth" = 32 ] ;; *) [ "$depth" = 24 ] ;; esac || fail "depth $depth for '$flags'"
done

# A failed conversion leaves the existing output as it was.
printf 'keep me' >"$tmp/keep.tga"
run convert "$tmp/junk" "$tmp/keep.tga"
[ $status = 1 ] && [ "$(cat "$tmp/keep.tga")" = "keep me" ] || fail "failed conversion touched the output"
run convert "$tmp/out.png" /dev/full
[ $status = 1 ] && grep -q "could not be written" "$tmp/err" || fail "write failure not reported"
run convert "$tmp/out.png" "$tmp/no/such/dir/x.tga"
[ $status = 1 ] || fail "unwritable output: $status"
echo PASS
