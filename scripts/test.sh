#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
tavo_find_python
tavo_install_packages
tavo_build -DTAVO_BUILD_TESTS=ON
cd "$TAVO_BUILD"
ctest --output-on-failure -j 2 --timeout 900
