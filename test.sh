#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; then the checks
# against bad input (sanitizers, fuzz replays, short fuzz runs).
cd "$(dirname "$0")"
. scripts/common.sh
install_missing
build
(cd build && ctest --output-on-failure --timeout 300)
scripts/hardening.sh
