#!/usr/bin/env bash
# install.sh - installs the build into a scratch prefix and builds small C and
# C++ programs against it, through pkg-config and through find_package; checks
# what the libraries export, the version everywhere it is told, the tools and
# the manual pages; then makes the Debian package, builds a C program against
# its files and has lintian check it.
# Usage: install.sh BUILD_DIR
set -eu
build=$1
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/caustic-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
man_pages="share/man/man1/caustic.1.gz share/man/man1/imagetool.1.gz share/man/man1/caustic-make-maps.1.gz
           share/man/man1/caustic-render-frame.1.gz share/man/man3/caustic-image.3.gz"
for f in bin/caustic bin/caustic-make-maps bin/caustic-render-frame bin/imagetool include/caustic/image.h \
         include/caustic/image_version.h lib/libcaustic-image.a lib/libcaustic-image.so \
         lib/pkgconfig/caustic-image.pc lib/cmake/CausticImage/CausticImageConfig.cmake \
         share/caustic/normal.png share/caustic/out.png share/doc/caustic/copyright share/doc/caustic/changelog.gz \
         $man_pages; do
    [ -e "$prefix/$f" ] || fail "$f not installed"
done
# Every manual page reads without a warning from man or groff.
for page in $man_pages; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$prefix/$page" 2>&1 >/dev/null) ||
        fail "man -l $page"
    [ -z "$warnings" ] || fail "man -l $page: $warnings"
done
# The installed demo starts on the installed maps, as the README says. Its
# SIGTERM is a quit once SDL catches it (bit 15 of the caught-signal mask);
# sent before, it would kill the demo outright.
(cd "$prefix/share/caustic" && SDL_VIDEODRIVER=dummy exec "$prefix/bin/caustic") &
demo=$!
for i in $(seq 1 200); do
    mask=$(awk '/^SigCgt:/ { print $2 }' "/proc/$demo/status" 2>/dev/null) || break
    [ -n "$mask" ] && (((16#$mask >> 14) & 1)) && break
    sleep 0.05
done
kill -TERM "$demo" 2>/dev/null
status=0; wait "$demo" || status=$?
[ "$status" = 0 ] || { echo "FAIL: the installed demo did not run on the installed maps (status $status)"; exit 1; }
# The tools: --help and --version, no option taken for a folder's name, and
# a failed write names the program, the file and the cause.
version=$(pkg-config --modversion "$prefix/lib/pkgconfig/caustic-image.pc")
for tool in caustic-make-maps caustic-render-frame imagetool; do
    "$prefix/bin/$tool" --help | grep -q "^Usage: $tool" || fail "$tool --help"
    [ "$("$prefix/bin/$tool" --version)" = "$tool $version" ] || fail "$tool --version: not $version"
    # Every option the help names, the manual page names too.
    for option in $("$prefix/bin/$tool" --help | grep -oE '(^|[][ |])--?[a-z][a-z-]*' | sed 's/^[][ |]//' | sort -u); do
        zcat "$prefix/share/man/man1/$tool.1.gz" | sed 's/\\-/-/g' | grep -q -- "$option" ||
            fail "man $tool does not name $option, which $tool --help does"
    done
done
(cd "$tmp" && ! "$prefix/bin/caustic-make-maps" --bogus 2>/dev/null && [ ! -e --bogus ]) ||
    fail "caustic-make-maps took an unknown option for a folder"
for run in "caustic-make-maps /nodir|caustic-make-maps: cannot write /nodir/normal.png: No such file or directory" \
           "caustic-render-frame -o /dev/full $prefix/share/caustic|caustic-render-frame: cannot write /dev/full: No space left on device"; do
    # shellcheck disable=SC2086
    ! "$prefix/bin/"${run%%|*} 2>"$tmp/err" && [ "$(cat "$tmp/err")" = "${run#*|}" ] ||
        fail "${run%%|*}: $(cat "$tmp/err")"
done
# Both libraries export the calls the header declares, every one and
# nothing else; the shared library's version script lists them all.
public=$("$here/public_calls.sh" "$prefix/include/caustic/image.h")
[ -n "$public" ] || fail "no calls found in image.h"
unmapped=$(comm -23 <(echo "$public") <(sed -n 's/^ *\([a-z_0-9]*\);$/\1/p' "$here/../../cmake/image.map" | sort))
[ -z "$unmapped" ] || fail "cmake/image.map lacks" $unmapped
check_exports() { # what, list of exported names
    [ "$2" = "$public" ] || fail "$1 exports, against the header's calls:" \
        "$(diff <(echo "$public") <(echo "$2") | grep '^[<>]' | tr '\n' ' ')"
}
check_exports "the shared library" "$(nm -D --defined-only "$prefix/lib/libcaustic-image.so" | awk '{ print $3 }' | sort)"
check_exports "the static library" "$(nm -g --defined-only "$prefix/lib/libcaustic-image.a" | awk 'NF == 3 { print $3 }' | sort)"

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# pkg-config: shared (the default), found through LD_LIBRARY_PATH or the
# program's own run path; static, whole or the library alone, from C too.
# Each C program tells the version its header gives.
expect() { # expected output, program and arguments
    local out
    out=$("${@:2}") || fail "$2: $out"
    [ "$out" = "$1" ] || fail "$2 printed '$out', not '$1'"
}
cc -Wall -Wextra -o "$tmp/c_shared" "$here/consumer/use_image.c" $(pkg-config --cflags --libs caustic-image)
expect "c ok $version" env LD_LIBRARY_PATH="$prefix/lib" "$tmp/c_shared" "$tmp/a.tga"
cc -Wall -Wextra -o "$tmp/c_rpath" "$here/consumer/use_image.c" $(pkg-config --cflags --libs caustic-image) \
    -Wl,-rpath,"$prefix/lib"
expect "c ok $version" "$tmp/c_rpath" "$tmp/a.tga"
cc -Wall -Wextra -o "$tmp/c_static" "$here/consumer/use_image.c" $(pkg-config --cflags caustic-image) \
    "$prefix/lib/libcaustic-image.a" $(pkg-config --static --libs-only-l caustic-image | sed 's/-lcaustic-image//')
expect "c ok $version" "$tmp/c_static" "$tmp/b.tga"
cc -static -Wall -Wextra -o "$tmp/c_all_static" "$here/consumer/use_image.c" \
    $(pkg-config --static --cflags --libs caustic-image)
expect "c ok $version" "$tmp/c_all_static" "$tmp/b.tga"
c++ -Wall -Wextra -o "$tmp/cpp_pc" "$here/consumer/use_image.cpp" $(pkg-config --cflags --libs caustic-image)
LD_LIBRARY_PATH=$prefix/lib "$tmp/cpp_pc" "$tmp/c.tga"

# find_package, static and shared targets, from a project in C alone and
# from one in C and C++.
cmake -S "$here/consumer" -B "$tmp/consumer_c" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/consumer_c" >/dev/null
[ "$(cat "$tmp/consumer_c/found_version")" = "$version" ] || fail "find_package: $(cat "$tmp/consumer_c/found_version")"
expect "c ok $version" "$tmp/consumer_c/use_image_c" "$tmp/d.tga"
expect "c ok $version" "$tmp/consumer_c/use_image_c_shared" "$tmp/d.tga"
cmake -S "$here/consumer" -B "$tmp/consumer" -DCMAKE_PREFIX_PATH="$prefix" -DCONSUMER_CXX=ON >/dev/null
cmake --build "$tmp/consumer" >/dev/null
"$tmp/consumer/use_image_cpp" "$tmp/e.tga"
"$tmp/consumer/use_image_shared" "$tmp/f.tga"
"$prefix/bin/imagetool" info "$tmp/f.tga"

# The Debian package: the same files under /usr, which a C project builds
# against where they are unpacked, and which lintian finds no error in.
command -v lintian >/dev/null || fail "lintian is not installed (./test.sh installs it)"
(cd "$build" && cpack -G DEB -B "$tmp/package" >/dev/null) || fail "cpack -G DEB"
deb=$(echo "$tmp"/package/caustic_"$version"-*.deb)
[ -f "$deb" ] || fail "no package caustic_$version-*.deb: $(ls "$tmp/package")"
dpkg-deb -x "$deb" "$tmp/root"
for f in bin/caustic bin/caustic-make-maps bin/caustic-render-frame bin/imagetool include/caustic/image.h \
         lib/libcaustic-image.so lib/libcaustic-image.a share/doc/caustic/copyright \
         share/doc/caustic/changelog.gz share/doc/caustic/changelog.Debian.gz $man_pages; do
    [ -e "$tmp/root/usr/$f" ] || fail "$f not in the package"
done
cmake -S "$here/consumer" -B "$tmp/deb_consumer" -DCMAKE_PREFIX_PATH="$tmp/root/usr" >/dev/null
cmake --build "$tmp/deb_consumer" >/dev/null
expect "c ok $version" "$tmp/deb_consumer/use_image_c_shared" "$tmp/g.tga"
lintian --fail-on error "$deb" >"$tmp/lintian" 2>&1 || fail "lintian: $(cat "$tmp/lintian")"
grep -q '^E:' "$tmp/lintian" && fail "lintian: $(cat "$tmp/lintian")"
sed 's/^/lintian: /' "$tmp/lintian"
echo "PASS"
