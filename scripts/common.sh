# common.sh - installs what the project needs on Debian and builds it.
# Sourced by demo.sh and test.sh from the project's top folder.

set -eu

# What the demo, the tools and the library need to build. The SDL 1.2 API
# comes from the maintained implementation over SDL2 (it replaces the old
# libsdl1.2-dev).
DEMO_PACKAGES="cmake g++ make pkg-config libsdl1.2-compat-dev libpng-dev libjpeg62-turbo-dev"
# What the tests and benchmarks need besides: GoogleTest, Xlib and an X server
# with its tools for the window tests, ImageMagick and Pillow as peers, Google
# Benchmark and stb_image, clang with its sanitizer runtimes for fuzzing, and
# strace to make each step of a save fail, and lintian for the Debian package
# (it brings man-db, file and dpkg-dev, which the install test's manual pages
# and cpack use too).
TEST_PACKAGES="libx11-dev googletest libbenchmark-dev libstb-dev xvfb xdotool x11-apps imagemagick python3-pil
clang libclang-rt-14-dev strace lintian"

# Progress: stage headers that give the minutes and seconds since the run
# began, kept across the scripts a run calls (CAUSTIC_RUN_START), and, where
# CAUSTIC_STAGES names a file, a line per stage in it for the summary.
: "${CAUSTIC_RUN_START:=$(date +%s)}"
export CAUSTIC_RUN_START
elapsed() {
    local s=$(($(date +%s) - CAUSTIC_RUN_START))
    printf '%d:%02d' $((s / 60)) $((s % 60))
}
stage() {
    echo "== [$(elapsed)] $*"
    if [ -n "${CAUSTIC_STAGES:-}" ]; then echo "$(date +%s) $*" >>"$CAUSTIC_STAGES"; fi
}

# Installs the packages named (all of them if none are) that are missing.
install_missing() {
    local missing="" p
    for p in ${*:-$DEMO_PACKAGES $TEST_PACKAGES}; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    echo "Installing:$missing"
    local sudo=""
    if [ "$(id -u)" != 0 ]; then
        if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
            sudo="sudo"
        else
            echo "These packages are missing. Please run, as root:" >&2
            echo "  apt-get update && apt-get install -y$missing" >&2
            exit 1
        fi
    fi
    $sudo apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
}

configure() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
}

# Builds everything, the tests included: a missing GoogleTest is an error here.
build() {
    configure -DCAUSTIC_BUILD_TESTS=ON "$@"
    cmake --build build -j "$(nproc)"
}
