#!/usr/bin/env bash
# install.sh - installs the build into a scratch prefix and builds small C and
# C++ programs against it, through pkg-config and through find_package.
# Usage: install.sh BUILD_DIR
set -eu
build=$1
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/caustic-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/caustic bin/make_maps bin/imagetool include/caustic/image.h lib/libcaustic-image.a \
         lib/libcaustic-image.so lib/pkgconfig/caustic-image.pc lib/cmake/CausticImage/CausticImageConfig.cmake \
         share/caustic/normal.png share/caustic/out.png share/doc/caustic-image/LICENSE; do
    [ -e "$prefix/$f" ] || { echo "FAIL: $f not installed"; exit 1; }
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
# The tools: no option taken for a folder's name, and a failed write names
# the program, the file and the cause.
"$prefix/bin/make_maps" --help | grep -q "^Usage: make_maps" || { echo "FAIL: make_maps --help"; exit 1; }
(cd "$tmp" && ! "$prefix/bin/make_maps" --bogus 2>/dev/null && [ ! -e --bogus ]) ||
    { echo "FAIL: make_maps took an unknown option for a folder"; exit 1; }
for run in "make_maps /nodir|make_maps: cannot write /nodir/normal.png: No such file or directory" \
           "render_frame -o /dev/full $prefix/share/caustic|render_frame: cannot write /dev/full: No space left on device"; do
    # shellcheck disable=SC2086
    ! "$prefix/bin/"${run%%|*} 2>"$tmp/err" && [ "$(cat "$tmp/err")" = "${run#*|}" ] ||
        { echo "FAIL: ${run%%|*}: $(cat "$tmp/err")"; exit 1; }
done
# The shared library exports the public interface only.
exported=$(nm -D --defined-only "$prefix/lib/libcaustic-image.so" | awk '$2 == "T" {print $3}' | sort | tr '\n' ' ')
public=$(sed -n '/global:/,/local:/ s/^ *\([a-z_]*\);$/\1/p' "$here/../../cmake/image.map" | sort | tr '\n' ' ')
[ -n "$public" ] && [ "$exported" = "$public" ] ||
    { echo "FAIL: shared library exports: $exported"; exit 1; }

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# pkg-config: shared (the default), found through LD_LIBRARY_PATH or the
# program's own run path; static, whole or the library alone, from C too.
cc -Wall -Wextra -o "$tmp/c_shared" "$here/consumer/use_image.c" $(pkg-config --cflags --libs caustic-image)
LD_LIBRARY_PATH=$prefix/lib "$tmp/c_shared" "$tmp/a.tga"
cc -Wall -Wextra -o "$tmp/c_rpath" "$here/consumer/use_image.c" $(pkg-config --cflags --libs caustic-image) \
    -Wl,-rpath,"$prefix/lib"
"$tmp/c_rpath" "$tmp/a.tga"
cc -Wall -Wextra -o "$tmp/c_static" "$here/consumer/use_image.c" $(pkg-config --cflags caustic-image) \
    "$prefix/lib/libcaustic-image.a" $(pkg-config --static --libs-only-l caustic-image | sed 's/-lcaustic-image//')
"$tmp/c_static" "$tmp/b.tga"
cc -static -Wall -Wextra -o "$tmp/c_all_static" "$here/consumer/use_image.c" \
    $(pkg-config --static --cflags --libs caustic-image)
"$tmp/c_all_static" "$tmp/b.tga"
c++ -Wall -Wextra -o "$tmp/cpp_pc" "$here/consumer/use_image.cpp" $(pkg-config --cflags --libs caustic-image)
LD_LIBRARY_PATH=$prefix/lib "$tmp/cpp_pc" "$tmp/c.tga"

# find_package, static and shared targets, from a project in C alone and
# from one in C and C++.
cmake -S "$here/consumer" -B "$tmp/consumer_c" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/consumer_c" >/dev/null
"$tmp/consumer_c/use_image_c" "$tmp/d.tga"
"$tmp/consumer_c/use_image_c_shared" "$tmp/d.tga"
cmake -S "$here/consumer" -B "$tmp/consumer" -DCMAKE_PREFIX_PATH="$prefix" -DCONSUMER_CXX=ON >/dev/null
cmake --build "$tmp/consumer" >/dev/null
"$tmp/consumer/use_image_cpp" "$tmp/e.tga"
"$tmp/consumer/use_image_shared" "$tmp/f.tga"
"$prefix/bin/imagetool" info "$tmp/f.tga"
echo "PASS"
