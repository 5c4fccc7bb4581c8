#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (about a minute: one
# test waits for a real second pass of the loop, 40 s after the first).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_missing_packages
build_all
cd "$build"
ctest --output-on-failure -j 2 "$@"
