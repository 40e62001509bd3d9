#!/usr/bin/env bash
# save_faults.sh - a save as imagetool convert makes it, each of its steps
# made to fail in turn by strace's fault injection: the save fails with a
# reason naming the step, the old file stays byte for byte and the folder
# holds no other name, with unnamed files and without them. The saves that
# succeed sync the new file before it has a name and the folder after.
# Usage: save_faults.sh IMAGETOOL
set -u
TOOL=$1
skip() { echo "SKIP: $*"; exit 77; }
command -v strace >/dev/null || skip "no strace"
strace -qq -o /dev/null true 2>/dev/null || skip "ptrace is not permitted here"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/save_faults.XXXXXX")
trap 'chattr -a "$tmp/d" 2>/dev/null; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# LeakSanitizer cannot work under ptrace: a sanitized build checks leaks elsewhere.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

# A 2 x 1 TGA image: the whole save is one write.
printf '\0\0\2\0\0\0\0\0\0\0\0\0\2\0\1\0\30\40\1\2\3\4\5\6\0\0\0\0\0\0\0\0TRUEVISION-XFILE.\0' >"$tmp/in.tga"
out=$tmp/d/out.tga
printf 'old bytes' >"$tmp/old"

# A folder d, with an old out.tga in it unless STATE says new.
fresh() {
    rm -rf "$tmp/d" && mkdir "$tmp/d" || fail "cannot make $tmp/d"
    case $1 in new*) ;; *) cp "$tmp/old" "$out" ;; esac
}
# Saves in.tga as d/out.tga in a fresh STATE, under strace with the options
# given after it; the calls are left in trace.
save() {
    fresh "$1"
    shift
    strace -f -qq -y -o "$tmp/trace" -e trace=openat,write,fsync,fchmod,linkat,renameat,renameat2 "$@" \
        "$TOOL" convert "$tmp/in.tga" "$out" 2>"$tmp/err"
    status=$?
}
# The number, among the calls to SYSCALL in trace, of the first whose line matches PATTERN.
nth() { awk -v call="$1(" -v pattern="$2" 'index($2, call) == 1 && ++n && $0 ~ pattern { print n; exit }' "$tmp/trace"; }
# Line numbers in trace of the calls matching PATTERN.
lines() { grep -n -E "^[0-9]+ +$1" "$tmp/trace" | cut -d: -f1; }
# The folder holds nothing but out.tga as HOLDS says: none, old or saved.
check_folder() {
    [ "$(ls -A "$tmp/d")" = "$([ "$2" = none ] || echo out.tga)" ] || fail "$1: left $(ls -A "$tmp/d")"
    case $2 in
    old) cmp -s "$out" "$tmp/old" || fail "$1: the old file changed" ;;
    saved) cmp -s "$out" "$tmp/expected.tga" || fail "$1: the file saved differs" ;;
    esac
}

"$TOOL" convert "$tmp/in.tga" "$tmp/expected.tga" || fail "a plain save"

# Each way a save runs, as it runs: the new file written, then synced, then
# named and put in place, then the folder synced.
declare -A tmpfile_call
for state in old new "old, no unnamed files" "new, no unnamed files"; do
    case $state in
    *files) save "$state" -e inject=openat:error=EOPNOTSUPP:when="${tmpfile_call[${state%%,*}]}" ;;
    *) save "$state"; tmpfile_call[$state]=$(nth openat O_TMPFILE) ;;
    esac
    grep -q -E 'O_TMPFILE.*= [0-9]' "$tmp/trace" || [ -z "${state##*files}" ] ||
        skip "the file system of ${TMPDIR:-/tmp} has no unnamed files"
    [ $status = 0 ] || fail "$state: $(cat "$tmp/err")"
    check_folder "$state" saved
    file=$(grep -m1 -E '(O_TMPFILE|O_CREAT).*= [0-9]+<' "$tmp/trace" | sed -E 's/.*= ([0-9]+)<.*/\1/')
    folder=$(grep -m1 -E 'O_DIRECTORY.*= [0-9]+<' "$tmp/trace" | sed -E 's/.*= ([0-9]+)<.*/\1/')
    written=$(lines 'write\([0-9]+<[^>]*/d/' | tail -1)
    synced=$(lines "fsync\\($file<" | head -1)
    named=$(lines '(linkat|renameat2?)\(' | head -1)
    placed=$(lines '(linkat|renameat2?)\(' | tail -1)
    folder_synced=$(lines "fsync\\($folder<" | head -1)
    [ -n "$file" ] && [ -n "$folder" ] && [ -n "$written" ] && [ -n "$synced" ] && [ -n "$named" ] &&
        [ -n "$folder_synced" ] && [ "$written" -lt "$synced" ] && [ "$synced" -lt "$named" ] &&
        [ "$placed" -lt "$folder_synced" ] ||
        fail "$state: not written, synced, named, then the folder synced:
$(grep -v -E '\.so|locale' "$tmp/trace")"
done

# STATE | CALL | PATTERN its line matches | ERRNO | what the save says (after the file's name)
while IFS='|' read -r state call pattern errno reason; do
    [ -n "$state" ] || continue
    fallback=""
    case $state in *files) fallback="-e inject=openat:error=EISDIR:when=${tmpfile_call[${state%%,*}]}" ;; esac
    # shellcheck disable=SC2086
    save "$state" $fallback
    n=$(nth "$call" "$pattern")
    [ -n "$n" ] || fail "$state: no $call call matching $pattern"
    # shellcheck disable=SC2086
    save "$state" $fallback -e inject="$call:error=$errno:when=$n"
    what="$state, $call $errno"
    if [ -z "$reason" ]; then
        [ $status = 0 ] || fail "$what: $(cat "$tmp/err")"
        check_folder "$what" saved
    else
        [ $status = 1 ] && [ "$(cat "$tmp/err")" = "imagetool: $out: $reason" ] ||
            fail "$what: status $status, said: $(cat "$tmp/err")"
        check_folder "$what" "$([ "${state%%,*}" = old ] && echo old || echo none)"
    fi
done <<'EOF'
old|openat|O_DIRECTORY|EMFILE|Too many open files
new|openat|O_DIRECTORY|ENOENT|No such file or directory
old|openat|O_TMPFILE|ENOSPC|no new file can be made beside it: No space left on device
new|openat|O_TMPFILE|EROFS|Read-only file system
old|fchmod|.|EPERM|a new file cannot keep its owner, group and permissions: Operation not permitted
old|write|/d/|EIO|Input/output error
old|fsync|/d/|EIO|the new file cannot be synced to the disk: Input/output error
old|linkat|.|ENOSPC|the new file cannot be given a temporary name: No space left on device
old|renameat|.|EIO|the new file cannot be renamed over the old one: Input/output error
new|write|/d/|ENOSPC|No space left on device
new|fsync|/d/|EIO|the new file cannot be synced to the disk: Input/output error
new|linkat|.|EDQUOT|the new file cannot be given its name: Disk quota exceeded
old|fsync|/d>|EIO|
old, no unnamed files|fchmod|.|EPERM|a new file cannot keep its owner, group and permissions: Operation not permitted
old, no unnamed files|write|/d/|EIO|Input/output error
old, no unnamed files|fsync|/d/|EIO|the new file cannot be synced to the disk: Input/output error
old, no unnamed files|renameat|.|EIO|the new file cannot be renamed over the old one: Input/output error
new, no unnamed files|write|/d/|ENOSPC|No space left on device
new, no unnamed files|fsync|/d/|EIO|the new file cannot be synced to the disk: Input/output error
new, no unnamed files|renameat|.|EIO|the new file cannot be renamed over the old one: Input/output error
EOF

# An append-only folder (where chattr can make one) cannot give up the old
# name: the save is refused before a temporary name could be stranded there.
fresh old
if chattr +a "$tmp/d" 2>/dev/null; then
    "$TOOL" convert "$tmp/in.tga" "$out" 2>"$tmp/err"; status=$?
    [ $status = 1 ] && [ "$(cat "$tmp/err")" = "imagetool: $out: the folder is append-only: Operation not permitted" ] ||
        fail "append-only folder: status $status, said: $(cat "$tmp/err")"
    check_folder "append-only folder" old
else
    echo "append-only folder: not tried, chattr +a is refused here"
fi
echo PASS
