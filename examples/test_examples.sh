#!/usr/bin/env bash
# test_examples.sh MAKE_MAPS EXAMPLES_DIR - runs each example program on the
# demo's default maps (PNG), the TGA files they make, a PNG cut short and a
# file that is no image.
set -eu
make_maps=$1 dir=$2
tmp=$(mktemp -d "${TMPDIR:-/tmp}/caustic-examples.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
mkdir "$tmp/in" "$tmp/out"
"$make_maps" "$tmp/in"
echo "not an image" >"$tmp/in/notes.txt"

# load_and_save: the PNG and the TGA it saves hold the same pixels, and a TGA
# saved from that TGA is the same file.
png=$("$dir/load_and_save" "$tmp/in/normal.png" "$tmp/normal.tga")
[[ $png == "$tmp/in/normal.png: PNG 640 x 480, top-left pixel #FF"??????", opaque" ]] || fail "load_and_save: $png"
tga=$("$dir/load_and_save" "$tmp/normal.tga" "$tmp/again.tga")
[ "${tga#*: TGA }" = "${png#*: PNG }" ] || fail "load_and_save of the TGA: $tga"
cmp -s "$tmp/normal.tga" "$tmp/again.tga" || fail "load_and_save: a TGA saved again differs"
! "$dir/load_and_save" "$tmp/in/notes.txt" "$tmp/notes.tga" 2>"$tmp/err" &&
    [ "$(cat "$tmp/err")" = "load_and_save: $tmp/in/notes.txt: not a PNG, JFIF JPEG or TGA image" ] ||
    fail "load_and_save of a text file: $(cat "$tmp/err")"

# convert_folder: both maps converted, the text file skipped.
"$dir/convert_folder" "$tmp/in" "$tmp/out" >"$tmp/log" || fail "convert_folder: $(cat "$tmp/log")"
[ "$(cd "$tmp/out" && echo *)" = "normal.tga out.tga" ] || fail "convert_folder wrote: $(ls "$tmp/out")"
grep -qx "$tmp/in/notes.txt skipped: $tmp/in/notes.txt: not a PNG, JFIF JPEG or TGA image" "$tmp/log" ||
    fail "convert_folder: $(cat "$tmp/log")"
for map in normal out; do
    [ "$("$dir/load_and_save" "$tmp/out/$map.tga" "$tmp/check.tga" | sed 's/^[^:]*: TGA //')" = \
      "$("$dir/load_and_save" "$tmp/in/$map.png" "$tmp/check.tga" | sed 's/^[^:]*: PNG //')" ] ||
        fail "convert_folder: $map.tga holds other pixels"
done

# from_memory: a whole PNG, then one cut short, whose messages all come
# through the program's handler.
size=$(stat -c %s "$tmp/in/out.png")
[ "$("$dir/from_memory" "$tmp/in/out.png")" = "$tmp/in/out.png: 640 x 480 pixels from $size bytes, 0 warnings" ] ||
    fail "from_memory of a whole PNG"
head -c 3000 "$tmp/in/out.png" >"$tmp/cut.png"
! "$dir/from_memory" "$tmp/cut.png" 2>"$tmp/err" || fail "from_memory loaded a cut PNG"
grep -q "^from_memory: error: " "$tmp/err" && ! grep -v "^from_memory: " "$tmp/err" ||
    fail "from_memory: messages past the handler: $(cat "$tmp/err")"
grep -qx "from_memory: $tmp/cut.png: memory: .*" "$tmp/err" || fail "from_memory: no reason: $(cat "$tmp/err")"
echo PASS
