#!/usr/bin/env bash
# Builds the project with sanitizers, each in its own build directory, and
# runs the tests under them. Any sanitizer report fails the run.
#
#   scripts/sanitize.sh asan   g++ AddressSanitizer + UBSan, every C++ and Python test
#   scripts/sanitize.sh tsan   clang ThreadSanitizer, the C++ tests
#   scripts/sanitize.sh fuzz   clang libFuzzer + ASan targets (alignment stage, loader paths, remote
#                              wire format), each run for TAVO_FUZZ_SECONDS (30)
#   scripts/sanitize.sh all    asan, tsan and fuzz
#
# Build directories, inside the checkout (ignored by git): TAVO_ASAN_BUILD
# (build-asan), TAVO_TSAN_BUILD (build-tsan), TAVO_FUZZ_BUILD (build-fuzz).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
tavo_find_python
tavo_install_packages

MODE="${1:-all}"
JOBS="${TAVO_JOBS:-$(nproc)}"
ASAN_BUILD="${TAVO_ASAN_BUILD:-$TAVO_ROOT/build-asan}"
TSAN_BUILD="${TAVO_TSAN_BUILD:-$TAVO_ROOT/build-tsan}"
FUZZ_BUILD="${TAVO_FUZZ_BUILD:-$TAVO_ROOT/build-fuzz}"
SUPP="$TAVO_ROOT/tests/sanitizers"

# The compilers: g++ for ASan/UBSan (the runtime the Python tests preload),
# clang for TSan and libFuzzer (GCC's TSan does not model
# atomic_thread_fence, which the stream queue's library relies on).
need_clang() {
  command -v clang++ >/dev/null 2>&1 && return 0
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends clang </dev/null
}

configure() {
  local dir="$1"; shift
  cmake -S "$TAVO_ROOT" -B "$dir" -DPython_EXECUTABLE="$TAVO_PYTHON" -DTAVO_BUILD_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
}

run_asan() {
  local flags="-fsanitize=address,undefined -fno-sanitize=vptr -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
  configure "$ASAN_BUILD" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined"
  cmake --build "$ASAN_BUILD" -j "$JOBS"
  # allocator_may_return_null: a huge allocation throws std::bad_alloc (MemoryError)
  # as it does without the sanitizer, instead of ending the process.
  local common="halt_on_error=1:exitcode=66:allocator_may_return_null=1"
  local ubsan="halt_on_error=1:print_stacktrace=1:exitcode=66:suppressions=$SUPP/ubsan.supp"
  (cd "$ASAN_BUILD" &&
    ASAN_OPTIONS="$common:detect_leaks=1" LSAN_OPTIONS="suppressions=$SUPP/lsan.supp" UBSAN_OPTIONS="$ubsan" \
      ctest --output-on-failure -j 2 --timeout 900 -R '^cpp\.')
  # The interpreter is not built with the sanitizer: preload its runtime (and
  # libstdc++, which must come after it so that the first C++ throw is
  # intercepted), and let Python use malloc so ASan sees every object. The
  # interpreter leaks at exit by design, so leak detection stays off here.
  # test_install checks the installed layout in an interpreter that sees
  # nothing of this environment, so the preload cannot reach it; the module
  # it installs is the one tested here. Cases that ASan cannot host are left
  # out one by one (tests/sanitizers/asan_python_skips.txt).
  local preload skipped='^py\.(test_install|test_streams|test_tavo)$'
  preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so):$(g++ -print-file-name=libstdc++.so)"
  (cd "$ASAN_BUILD" &&
    LD_PRELOAD="$preload" PYTHONMALLOC=malloc TAVO_SANITIZED=asan \
      ASAN_OPTIONS="$common:detect_leaks=0" UBSAN_OPTIONS="$ubsan" \
      ctest --output-on-failure -j 2 --timeout 900 -R '^py\.' -E "$skipped")
  (cd "$TAVO_ROOT/tests/python" &&
    LD_PRELOAD="$preload" PYTHONMALLOC=malloc TAVO_SANITIZED=asan \
      ASAN_OPTIONS="$common:detect_leaks=0" UBSAN_OPTIONS="$ubsan" PYTHONDONTWRITEBYTECODE=1 \
      PYTHONPATH="$ASAN_BUILD/python" TAVO_PLUGIN_DIR="$ASAN_BUILD/plugins" \
      TAVO_TEST_PLUGIN_DIR="$ASAN_BUILD/tests/plugins" \
      timeout 900 "$TAVO_PYTHON" "$SUPP/run_unittest.py" --skips "$SUPP/asan_python_skips.txt" test_streams test_tavo)
}

run_tsan() {
  need_clang
  # Executables carry clang's static runtime, and the plugins they load take
  # its symbols from them at load time. Plugins link with --no-undefined, so
  # the module link rule lets those symbols stay open (-z undefs, last). The
  # shared runtime (-shared-libsan) is no way out: it crashes at start here.
  configure "$TSAN_BUILD" -DTAVO_BUILD_MODULE=OFF -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
    -DCMAKE_CXX_CREATE_SHARED_MODULE="<CMAKE_CXX_COMPILER> <CMAKE_SHARED_MODULE_CXX_FLAGS> <LANGUAGE_COMPILE_FLAGS> <LINK_FLAGS> <CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS> -o <TARGET> <OBJECTS> <LINK_LIBRARIES> -Wl,-z,undefs"
  cmake --build "$TSAN_BUILD" -j "$JOBS"
  (cd "$TSAN_BUILD" &&
    TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:suppressions=$SUPP/tsan.supp" \
      ctest --output-on-failure -j 2 --timeout 900 -R '^cpp\.')
}

run_fuzz() {
  need_clang
  configure "$FUZZ_BUILD" -DTAVO_BUILD_MODULE=OFF -DTAVO_BUILD_FUZZERS=ON -DCMAKE_CXX_COMPILER=clang++
  cmake --build "$FUZZ_BUILD" -j "$JOBS" --target fuzz_alignment_stage fuzz_loader_paths fuzz_remote_wire
  # Every target runs, even after another one found a fault; crash inputs
  # land in the build's tests/fuzz directory.
  local seconds="${TAVO_FUZZ_SECONDS:-30}" target failed=()
  for target in fuzz_alignment_stage fuzz_loader_paths fuzz_remote_wire; do
    local corpus="$FUZZ_BUILD/tests/fuzz/corpus-$target"
    mkdir -p "$corpus"
    echo "== $target for ${seconds}s"
    (cd "$FUZZ_BUILD/tests/fuzz" &&
      ASAN_OPTIONS="halt_on_error=1:detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
        "./$target" -max_total_time="$seconds" -print_final_stats=1 -seed=1 "$corpus") || failed+=("$target")
  done
  if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz targets that found a fault: ${failed[*]}" >&2
    return 1
  fi
}

case "$MODE" in
  asan) run_asan ;;
  tsan) run_tsan ;;
  fuzz) run_fuzz ;;
  all) run_asan; run_tsan; run_fuzz ;;
  *) echo "usage: $0 [asan|tsan|fuzz|all]" >&2; exit 2 ;;
esac
