#!/usr/bin/env bash
# The benchmark suite: builds what it needs, then prints one line per figure
# (figure | reference measured in the same process run | ratio | goal).
#
#     bash bench/run.sh [build-dir]        (default: build-bench next to the tree)
#
# Only the bench targets and what they depend on are built, with -j2.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(realpath -m "${1:-$ROOT/../build-bench}")"
PYTHON="${TAVO_PYTHON:-$(pyenv root 2>/dev/null)/versions/3.12.1/bin/python3.12}"
[ -x "$PYTHON" ] || { echo "error: CPython 3.12 not found; set TAVO_PYTHON" >&2; exit 1; }

mkdir -p "$BUILD"
cmake -S "$ROOT" -B "$BUILD" -DPython_EXECUTABLE="$PYTHON" -DTAVO_BUILD_BENCH=ON >"$BUILD/bench-configure.log" 2>&1 ||
  { cat "$BUILD/bench-configure.log"; exit 1; }
cmake --build "$BUILD" -j2 --target bench_all >"$BUILD/bench-build.log" 2>&1 || { tail -50 "$BUILD/bench-build.log"; exit 1; }

echo "# $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), load: $(cut -d' ' -f1-3 /proc/loadavg)"
cd "$ROOT/bench"
"$PYTHON" python_figures.py "$BUILD"
"$PYTHON" startup_figures.py "$BUILD"
"$PYTHON" remote_figures.py "$BUILD"
"$BUILD/bench/queue_bench" --benchmark_repetitions=7 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true \
  --benchmark_format=json --benchmark_out="$BUILD/queue_bench.json" >/dev/null
"$PYTHON" report.py "$BUILD/queue_bench.json"
echo "# load after: $(cut -d' ' -f1-3 /proc/loadavg)"
