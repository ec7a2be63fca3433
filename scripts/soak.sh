#!/usr/bin/env bash
# The stress tests for longer: scripts/soak.sh [minutes] (default 10) builds
# like scripts/test.sh (TAVO_BUILD, default build/) and runs test_stress
# with its three phases sharing the time, then the argument fuzz for a minute
# with a fresh seed (TAVO_FUZZ_SEED to repeat one; the seed is printed).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
tavo_find_python
tavo_install_packages
tavo_build -DTAVO_BUILD_TESTS=ON

MINUTES="${1:-10}"
export PYTHONPATH="$TAVO_BUILD/python" TAVO_PLUGIN_DIR="$TAVO_BUILD/plugins"
export TAVO_TEST_PLUGIN_DIR="$TAVO_BUILD/tests/plugins" PYTHONDONTWRITEBYTECODE=1
export TAVO_STRESS_SECONDS=$(( MINUTES * 60 / 3 > 3 ? MINUTES * 60 / 3 : 3 ))
export TAVO_FUZZ_SECONDS=60 TAVO_FUZZ_SEED="${TAVO_FUZZ_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}"
cd "$TAVO_ROOT/tests/python"
echo "soak: ${TAVO_STRESS_SECONDS}s per stress phase, fuzz seed $TAVO_FUZZ_SEED"
"$TAVO_PYTHON" -m unittest -v test_stress test_fuzz_arguments
