#!/usr/bin/env bash
# imagetool.sh - the image command-line tool as a user meets it.
# Usage: imagetool.sh IMAGETOOL MAKE_MAPS
set -u
TOOL=$1 MAKE_MAPS=$2
tmp=$(mktemp -d "${TMPDIR:-/tmp}/imagetool.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
run() { "$TOOL" "$@" >"$tmp/out" 2>"$tmp/err"; status=$?; }
# The last command failed with status 1 and exactly these lines on standard error.
failed_with() {
    [ $status = 1 ] || fail "status $status, not 1, for: $1"
    [ "$(cat "$tmp/err")" = "$1" ] || fail "standard error: $(cat "$tmp/err"), expected: $1"
}

"$MAKE_MAPS" "$tmp" || fail "caustic-make-maps"
cp "$tmp/normal.png" "$tmp/normal.tga"   # the name plays no part

run --help
[ $status = 0 ] && grep -q "^Usage: imagetool info" "$tmp/out" || fail "--help"
run
[ $status = 2 ] && grep -q "no command" "$tmp/err" || fail "no command: $status"
for bogus in "convert --bogus a b" "--bogus"; do
    # shellcheck disable=SC2086
    run $bogus
    [ $status = 2 ] && grep -q "unknown option --bogus" "$tmp/err" || fail "unknown option: $status"
done
run convert a b c
[ $status = 2 ] && grep -q "too many arguments" "$tmp/err" || fail "too many arguments: $status"
run frobnicate x
[ $status = 2 ] || fail "unknown command: $status"
run --version
[ $status = 0 ] && grep -q "^imagetool [0-9]" "$tmp/out" || fail "--version: $status"
for option in --help --version; do
    "$TOOL" $option 2>"$tmp/err" >/dev/full; status=$?
    failed_with "imagetool: standard output: No space left on device"
done

run info "$tmp/normal.tga" "$tmp/out.png"
[ $status = 0 ] || fail "info: $(cat "$tmp/err")"
[ "$(cat "$tmp/out")" = "$tmp/normal.tga: PNG 640x480
$tmp/out.png: PNG 640x480" ] || fail "info printed: $(cat "$tmp/out")"

# One line per failure, naming the file and the cause, and nothing else:
# what the library prints itself is not repeated. info reads the headers
# alone: a file cut after them is told by convert. --strict refuses what
# the demo cannot read (a grey PNG, read by default).
printf 'not an image at all' >"$tmp/junk"
head -c 20 "$tmp/normal.png" >"$tmp/cut.png"
head -c 3000 "$tmp/normal.png" >"$tmp/headers.png"
convert "$tmp/normal.png" -colorspace Gray -type Grayscale "PNG:$tmp/grey.png" || fail "convert (ImageMagick)"
# A grey PNG is refused only as the demo reads (--strict).
run info --strict "$tmp/junk" "$tmp/missing" "$tmp/cut.png" "$tmp/grey.png" "$tmp" "$tmp/headers.png"
failed_with "imagetool: $tmp/junk: not a PNG, JFIF JPEG or TGA image
imagetool: $tmp/missing: No such file or directory
imagetool: $tmp/cut.png: Read Error: the file ends too early
imagetool: $tmp/grey.png: grey PNG images are not supported
imagetool: $tmp: Is a directory"
[ "$(cat "$tmp/out")" = "$tmp/headers.png: PNG 640x480" ] || fail "info after failures: $(cat "$tmp/out")"
"$TOOL" info "$tmp/grey.png" >"$tmp/out" 2>"$tmp/err" || fail "info of a grey PNG: $(cat "$tmp/err")"
[ "$(cat "$tmp/out")" = "$tmp/grey.png: PNG 640x480" ] || fail "info of a grey PNG: $(cat "$tmp/out")"
run convert "$tmp/headers.png" "$tmp/x.tga"
failed_with "imagetool: $tmp/headers.png: Read Error: the file ends too early"

# Pipes and - for standard input and output.
cat "$tmp/out.png" | "$TOOL" info /dev/stdin >"$tmp/out" 2>"$tmp/err" || fail "info on a pipe: $(cat "$tmp/err")"
[ "$(cat "$tmp/out")" = "/dev/stdin: PNG 640x480" ] || fail "info on a pipe printed: $(cat "$tmp/out")"
cat "$tmp/out.png" | "$TOOL" convert --alpha - - 2>"$tmp/err" | "$TOOL" info - >"$tmp/out" ||
    fail "convert through pipes: $(cat "$tmp/err")"
[ "$(cat "$tmp/out")" = "-: TGA 640x480" ] || fail "convert through pipes gave: $(cat "$tmp/out")"
[ ! -e ./- ] && [ ! -e "$tmp/-" ] || fail "convert to - made a file named -"
# Nothing of a pipe is copied to disk (a full temporary folder is no
# matter); a JPEG is held in memory, and a stream that is not PNG or JPEG is
# read for a TGA footer only as far as a TGA file with its header can go.
convert "$tmp/normal.png" "JPG:$tmp/n.jpg" || fail "convert (ImageMagick)"
"$TOOL" convert "$tmp/out.png" "$tmp/n.tga" || fail "convert to n.tga"
for f in n.jpg n.tga; do
    cat "$tmp/$f" | TMPDIR=/nonexistent "$TOOL" convert - - 2>"$tmp/err" | "$TOOL" info - >"$tmp/out" ||
        fail "$f through pipes: $(cat "$tmp/err")"
    [ "$(cat "$tmp/out")" = "-: TGA 640x480" ] || fail "$f through pipes gave: $(cat "$tmp/out")"
done
# An endless stream is read no further than a TGA file of its header could
# take: four bytes a pixel as the demo reads, five (run-length data) in the
# read-any mode.
yes | "$TOOL" info --strict - 2>"$tmp/err"; status=$?
failed_with "imagetool: -: not a PNG or JFIF JPEG image, and the stream goes on past the 30848361 bytes a TGA image with its header can take"
yes | "$TOOL" info - 2>"$tmp/err"; status=$?
failed_with "imagetool: -: not a PNG or JFIF JPEG image, and the stream goes on past the 38036122 bytes a TGA image with its header can take"
# A closed standard output is an error, not a number for the next file opened.
"$TOOL" convert "$tmp/out.png" - 2>"$tmp/err" >&-; status=$?
failed_with "imagetool: -: Bad file descriptor"
"$TOOL" info - 2>"$tmp/err" <&-; status=$?
failed_with "imagetool: -: Bad file descriptor"
"$TOOL" info "$tmp/out.png" 2>"$tmp/err" >/dev/full; status=$?
failed_with "imagetool: standard output: No space left on device"

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
failed_with "imagetool: $tmp/junk: not a PNG, JFIF JPEG or TGA image"
[ "$(cat "$tmp/keep.tga")" = "keep me" ] || fail "failed conversion touched the output"
run convert "$tmp/out.png" /dev/full
failed_with "imagetool: /dev/full: No space left on device"
run convert "$tmp/out.png" "$tmp/no/such/dir/x.tga"
failed_with "imagetool: $tmp/no/such/dir/x.tga: No such file or directory"
run convert "$tmp/out.png" "$tmp"
failed_with "imagetool: $tmp: Is a directory"
run convert "$tmp/missing" "$tmp/x.tga"
failed_with "imagetool: $tmp/missing: No such file or directory"

# TGA is what is written: an output named as anything else is refused untouched.
for name in x.png X.JPG x.jpeg x.bmp; do
    run convert "$tmp/out.png" "$tmp/$name"
    [ $status = 2 ] && grep -q "^imagetool: $tmp/$name: the name ends in" "$tmp/err" && [ ! -e "$tmp/$name" ] ||
        fail "output $name: $status $(cat "$tmp/err")"
done
# The library's messages come through the tool, after the file's name: a
# warning of a load that succeeds is told as one.
head -c 20000 "$tmp/n.jpg" >"$tmp/cut.jpg"
"$TOOL" convert "$tmp/cut.jpg" "$tmp/cut.tga" 2>"$tmp/err" || fail "cut JPEG: $(cat "$tmp/err")"
[ "$(head -1 "$tmp/err")" = "imagetool: $tmp/cut.jpg: warning: Premature end of JPEG file" ] ||
    fail "cut JPEG said: $(cat "$tmp/err")"
# A read that fails while an image is decoded fails the load, rather than
# have the rest of the image made up: the last read of each file's data (each
# more than one 64 KiB read) made to fail by strace.
if command -v strace >/dev/null && strace -qq -o /dev/null true 2>/dev/null; then
    convert "$tmp/normal.png" -resize 200% -quality 100 "JPG:$tmp/big.jpg" || fail "convert (ImageMagick)"
    for f in out.png big.jpg n.tga; do
        strace -qq -o "$tmp/trace" -e trace=pread64 "$TOOL" convert "$tmp/$f" "$tmp/c.tga" 2>/dev/null ||
            fail "$f under strace"
        n=$(grep -n -E '^pread64\(.* = [1-9][0-9]*$' "$tmp/trace" | tail -1 | cut -d: -f1)
        strace -qq -o /dev/null -e inject=pread64:error=EIO:when="$n" "$TOOL" convert "$tmp/$f" "$tmp/c.tga" \
            2>"$tmp/err"; status=$?
        [ $status = 1 ] && grep -q "^imagetool: $tmp/$f: .*Input/output error$" "$tmp/err" ||
            fail "$f with a failed read: status $status, said: $(cat "$tmp/err")"
    done
fi
# Closed standard descriptors: the image goes only where it was sent, and a
# failure that cannot be told still fails.
for closed in '<&-' '>&-' '2>&-' '<&- >&- 2>&-'; do
    rm -f "$tmp/c.tga"
    eval '"$TOOL" convert "$tmp/cut.jpg" "$tmp/c.tga" 2>/dev/null' "$closed" || fail "convert with $closed"
    cmp -s "$tmp/c.tga" "$tmp/cut.tga" || fail "convert with $closed wrote another image"
    eval '"$TOOL" convert "$tmp/junk" "$tmp/c.tga" 2>/dev/null' "$closed"; status=$?
    [ $status = 1 ] && cmp -s "$tmp/c.tga" "$tmp/cut.tga" || fail "failed convert with $closed: $status"
done
"$TOOL" convert "$tmp/cut.jpg" - 2>&- >"$tmp/c.tga" && cmp -s "$tmp/c.tga" "$tmp/cut.tga" || fail "convert to - 2>&-"
"$TOOL" convert "$tmp/junk" - 2>&- >"$tmp/c.tga"; status=$?
[ $status = 1 ] && [ ! -s "$tmp/c.tga" ] || fail "failed convert to - 2>&-: $status"
"$TOOL" convert "$tmp/cut.jpg" /dev/stderr 2>"$tmp/c.tga" && cmp -s "$tmp/c.tga" "$tmp/cut.tga" ||
    fail "convert to /dev/stderr"
# Nor does the name of a closed one lead anywhere that takes the image.
for closed in '/dev/stdout >&-' '/dev/stderr 2>&-' '/dev/fd/1 >&- 2>&-'; do
    eval '"$TOOL" convert "$tmp/cut.jpg" 2>/dev/null' "$closed"; status=$?
    [ $status = 1 ] || fail "convert to $closed: status $status"
done
# - is descriptor 0 as it stands: a file read partly is read on from there,
# a socket works, and so does a file only the caller could open.
{ printf '%100s' ''; cat "$tmp/out.png"; } >"$tmp/behind.png"
chmod 600 "$tmp/behind.png"
(dd bs=100 count=1 of=/dev/null 2>/dev/null && "$TOOL" info -) <"$tmp/behind.png" >"$tmp/out" 2>"$tmp/err"
[ "$(cat "$tmp/out")" = "-: PNG 640x480" ] || fail "a file read partly: $(cat "$tmp/err")"
/usr/bin/python3 - "$TOOL" "$tmp/out.png" >"$tmp/out" 2>"$tmp/err" <<'PY' || fail "a socket: $(cat "$tmp/err")"
import socket, subprocess, sys
ours, theirs = socket.socketpair()
tool = subprocess.Popen([sys.argv[1], "info", "-"], stdin=theirs)
theirs.close()
ours.sendall(open(sys.argv[2], "rb").read())
ours.shutdown(socket.SHUT_WR)
sys.exit(tool.wait())
PY
[ "$(cat "$tmp/out")" = "-: PNG 640x480" ] || fail "a socket gave: $(cat "$tmp/out")"
# Pipes made non-blocking by whoever handed them over, empty (or full) when
# the tool first reads (or writes) them: the tool waits, in poll, as on any
# pipe. Standard input for info, standard output for convert.
"$TOOL" convert "$tmp/out.png" "$tmp/c.tga" || fail "convert to c.tga"
/usr/bin/python3 - "$TOOL" "$tmp/out.png" "$tmp/c.tga" 2>"$tmp/err" <<'PY' || fail "a non-blocking pipe: $(cat "$tmp/err")"
import os, subprocess, sys, time
tool_path, png, tga = sys.argv[1:]
def waiting(tool):
    # In poll, by the kernel function it waits in; None where that cannot be seen.
    try:
        with open("/proc/%d/wchan" % tool.pid) as f:
            return "poll" in f.read()
    except OSError:
        return None
def wait_until_blocked(tool):
    for _ in range(20000):
        if tool.poll() is not None or waiting(tool) is not False:
            return
        time.sleep(0.001)
for reads in (True, False):
    tool_end, our_end = os.pipe() if reads else os.pipe()[::-1]
    os.set_blocking(tool_end, False)
    if reads:
        tool = subprocess.Popen([tool_path, "info", "-"], stdin=tool_end, stdout=subprocess.PIPE)
    else:
        tool = subprocess.Popen([tool_path, "convert", png, "-"], stdout=tool_end)
    os.close(tool_end)
    wait_until_blocked(tool)
    if reads:
        if tool.poll() is None:
            os.write(our_end, open(png, "rb").read())
        os.close(our_end)
        got, expected = tool.stdout.read(), b"-: PNG 640x480\n"
    else:
        with os.fdopen(our_end, "rb") as f:
            got, expected = f.read(), open(tga, "rb").read()
    status = tool.wait()
    if status != 0 or got != expected:
        sys.exit("%s: status %d, %d bytes" % ("info -" if reads else "convert to -", status, len(got)))
PY
# A file that cannot tell where it ends (much of /proc) is read as any other.
run info /proc/self/status
failed_with "imagetool: /proc/self/status: not a PNG, JFIF JPEG or TGA image"
# Nobody may open the files of $tmp, but reads what it is handed.
if [ "$(id -u)" = 0 ] && runuser -u nobody -- "$TOOL" --version >/dev/null 2>&1; then
    runuser -u nobody -- "$TOOL" info - <"$tmp/out.png" >"$tmp/out" 2>&1 || fail "as nobody: $(cat "$tmp/out")"
    cat "$tmp/out.png" | runuser -u nobody -- "$TOOL" info - >>"$tmp/out" 2>&1 || fail "as nobody: $(cat "$tmp/out")"
    [ "$(cat "$tmp/out")" = "-: PNG 640x480
-: PNG 640x480" ] || fail "as nobody: $(cat "$tmp/out")"
fi
# Image data is not written to a terminal.
if command -v script >/dev/null; then
    script -qec "'$TOOL' convert '$tmp/out.png' -" /dev/null </dev/null >"$tmp/out" 2>&1; status=$?
    [ $status = 2 ] && grep -q "^imagetool: -: image data not written to a terminal" "$tmp/out" ||
        fail "convert to a terminal: $status $(cat "$tmp/out")"
fi
# Alpha is kept where a pixel is not opaque, unless dropped.
convert -size 4x4 'xc:rgba(10,20,30,0.5)' "PNG32:$tmp/half.png" || fail "convert (ImageMagick)"
for flags in "" "--no-alpha"; do
    # shellcheck disable=SC2086
    run convert $flags "$tmp/half.png" "$tmp/c.tga"
    depth=$(od -An -tu1 -j16 -N1 "$tmp/c.tga" | tr -d ' ')
    [ $status = 0 ] && [ "$depth" = "$([ -z "$flags" ] && echo 32 || echo 24)" ] || fail "depth $depth for '$flags'"
done
echo PASS
