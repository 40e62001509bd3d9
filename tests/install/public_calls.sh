#!/usr/bin/env bash
# public_calls.sh HEADER - prints, one a line and sorted, the name of every
# function HEADER declares: what the libraries may export, and all they may.
# Comments and preprocessor lines go first; each declaration left is then
# read up to its semicolon, and its name is the word before its first
# parenthesis (typedefs of function pointers are not calls).
set -eu
sed -e 's://.*$::' -e '/^[[:space:]]*#/d' "$1" | tr '\n' ' ' |
    sed -e 's:/\*\([^*]\|\*[^/]\)*\*/: :g' | tr ';{}' '\n\n\n' |
    grep -v '\btypedef\b' | sed -n 's/^[^(]*[^A-Za-z0-9_(]\([A-Za-z_][A-Za-z0-9_]*\)[[:space:]]*(.*/\1/p' | sort -u
