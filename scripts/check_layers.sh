#!/usr/bin/env bash
# check_layers.sh OBJECT_DIR - the image library reads top-down: the front end
# (image, image_save) calls the codecs, the codecs call the base, and nothing
# calls back up. Each object file is compiled alone, so a name one of them
# needs (nm -u) that a higher layer defines (nm --defined-only) is a call up.
set -eu
dir=$1
defined() { for f in "$@"; do nm --defined-only -C "$dir/$f.cpp.o"; done | awk '$2 ~ /^[TDBRWV]$/ { $1 = ""; $2 = ""; print substr($0, 3) }' | sort -u; }
needed() { for f in "$@"; do nm -u -C "$dir/$f.cpp.o"; done | awk '{ print $2 }' | sort -u; }
front="image image_save"
codecs="image_png image_jpg image_jpg_census image_tga"
base="image_base byteorder"
status=0
check() { # lower layer, higher layer
    local up
    up=$(comm -12 <(needed $1) <(defined $2))
    if [ -n "$up" ]; then
        echo "$1 calls up into $2:" $up
        status=1
    fi
}
for c in $codecs; do check "$c" "$front"; done
for b in $base; do check "$b" "$front $codecs"; done
[ "$status" = 0 ] && echo "layers: the base calls no codec, no codec calls the front end"
# Nothing may be thrown out of the C interface, so nothing in the library may
# throw: no object refers to the runtime's throw, to an operator new that
# throws, or to the standard library's throwing helpers (a vector's growth, a
# mutex's lock).
throws=$(for f in $front $codecs $base; do nm -u "$dir/$f.cpp.o"; done |
    awk '$2 ~ /^(__cxa_throw|__cxa_allocate_exception|_Znwm|_Znam)$|^_ZSt[0-9]+__throw_/ { print $2 }' | sort -u)
if [ -n "$throws" ]; then
    echo "the library can throw through its C interface:" $throws
    status=1
else
    echo "throws: nothing in the library can throw"
fi
exit $status
