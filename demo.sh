#!/usr/bin/env bash
# Installs what the demo needs and is missing, builds the demo, the map
# generator and the frame renderer, writes the default maps where there are
# none yet, and starts the demo on them. The tests' packages are
# ./test.sh's business: without them the build leaves the tests out.
cd "$(dirname "$0")"
. scripts/common.sh
install_missing $DEMO_PACKAGES
echo "Configuring the build in build/ ..."
log=$(mktemp "${TMPDIR:-/tmp}/caustic-configure.XXXXXX")
configure >"$log" 2>&1 || { cat "$log" >&2; rm -f "$log"; exit 1; }
rm -f "$log"
echo "Building the demo, the map generator and the frame renderer (a minute or so the first time) ..."
cmake --build build -j "$(nproc)" --target caustic caustic-make-maps caustic-render-frame

# Maps already in build/maps are the user's: only missing ones are written.
maps=build/maps
mkdir -p "$maps"
if [ ! -e "$maps/normal.png" ] || [ ! -e "$maps/out.png" ]; then
    fresh=$(mktemp -d "${TMPDIR:-/tmp}/caustic-maps.XXXXXX")
    build/caustic-make-maps "$fresh"
    for f in normal.png out.png; do
        [ -e "$maps/$f" ] || { mv "$fresh/$f" "$maps/$f"; echo "Wrote the default $f"; }
    done
    rm -rf "$fresh"
fi
echo "Starting the demo on the maps in $PWD/$maps (replace them with your own; see README)"
cd "$maps"
exec ../caustic
