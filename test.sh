#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test. Incremental when build-test/
# already exists. Extra arguments go to ctest (e.g. ./test.sh -L unit).
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh

BUILD=build-test
if [[ ! -f "$BUILD/build.ninja" ]]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPELLUM_SANITIZE=ON
fi
cmake --build "$BUILD" -j "$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
cd "$BUILD"
ctest --output-on-failure -j "$(nproc)" "$@"
