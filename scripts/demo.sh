#!/usr/bin/env bash
# Installs what is missing, builds, and runs an acquisition from the bundled
# simulator plugin (examples/acquire.py, on the tavo package). Afterwards
# build/bin/tavo is the command line: build/bin/tavo --help.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
tavo_find_python
tavo_install_packages
tavo_build -DTAVO_BUILD_TESTS=OFF -DTAVO_BUILD_BENCH=OFF
PYTHONPATH="$TAVO_BUILD/python" exec "$TAVO_PYTHON" "$TAVO_ROOT/examples/acquire.py" sim "$@"
