#!/usr/bin/env bash
# Installs what is missing, builds, makes the default maps and starts the demo.
cd "$(dirname "$0")"
. scripts/common.sh
install_missing
build >/dev/null
mkdir -p build/maps
build/make_maps build/maps
cd build/maps
exec ../caustic
