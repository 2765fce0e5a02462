#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test; then builds the tests
# labelled "tsan" with ThreadSanitizer and runs them again; then short
# libFuzzer runs of every fuzz target.
# Incremental when the build folders exist. Extra arguments go to the first
# ctest run (e.g. ./test.sh -L unit). PELLUM_SKIP_TSAN=1 and PELLUM_SKIP_FUZZ=1
# skip the last two steps.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
ROOT=$PWD
JOBS=$(nproc)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:${TSAN_OPTIONS:-}"
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
# No test draws with OpenGL; see cmake/PellumTesting.cmake.
export QT_XCB_GL_INTEGRATION="${QT_XCB_GL_INTEGRATION:-none}"

configure() {  # <folder> <cmake options...>
  local dir=$1; shift
  if [[ ! -f "$dir/build.ninja" ]]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@"
  fi
}

configure build-test -DPELLUM_SANITIZE=ON
cmake --build build-test -j "$JOBS"
(cd build-test && ctest --output-on-failure -j "$JOBS" "$@")

if [[ -z "${PELLUM_SKIP_TSAN:-}" ]]; then
  tsan_tests=$(cd build-test && ctest -N -L tsan | sed -n 's/^ *Test *#[0-9]*: //p')
  if [[ -n "$tsan_tests" ]]; then
    configure build-tsan -DPELLUM_TSAN=ON
    # shellcheck disable=SC2086
    cmake --build build-tsan -j "$JOBS" --target $tsan_tests
    (cd build-tsan && ctest --output-on-failure -j "$JOBS" -L tsan)
  fi
fi

if [[ -z "${PELLUM_SKIP_FUZZ:-}" ]]; then
  # The display's parsers, which see the most bytes, get the longer runs.
  long=(display_packet_fuzz jpeg_tiles_fuzz)
  short=()
  for dir in fuzz/*/; do
    name=$(basename "$dir")
    [[ -f "$dir/${name}_fuzz.cpp" && ! " ${long[*]} " =~ " ${name}_fuzz " ]] && short+=("${name}_fuzz")
  done
  FUZZ_SECONDS=30 scripts/fuzz-smoke.sh "${long[@]}"
  FUZZ_SECONDS=10 scripts/fuzz-smoke.sh "${short[@]}"
fi
cd "$ROOT"
