#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
cd "$(dirname "$0")"
. scripts/common.sh
install_missing
build
cd build
ctest --output-on-failure --timeout 300
