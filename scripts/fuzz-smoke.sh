#!/usr/bin/env bash
# Short libFuzzer runs of every fuzz target: configures a clang build in
# build-fuzz (AddressSanitizer, UndefinedBehaviorSanitizer, coverage for
# libFuzzer), builds only the fuzz targets and what they need, and runs each
# for FUZZ_SECONDS (30) on a scratch copy of its seed corpus. Exit status 1
# when a target finds a crash, a leak or a time-out; the input that did it
# is left in build-fuzz/findings/<target>/.
#
#   scripts/fuzz-smoke.sh                 all targets, 30 s each
#   FUZZ_SECONDS=600 scripts/fuzz-smoke.sh display_packet_fuzz
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-30}

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for dir in "$root"/fuzz/*/; do
    name=$(basename "$dir")
    [ -f "$dir/${name}_fuzz.cpp" ] && targets+=("${name}_fuzz")
  done
fi

mkdir -p "$build"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLUM_SANITIZE=ON \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
  > "$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" --target "${targets[@]}"

status=0
for target in "${targets[@]}"; do
  name=${target%_fuzz}
  seeds="$root/fuzz/$name/corpus"
  work="$build/fuzz-work/$name"
  findings="$build/findings/$name"
  rm -rf "$work"
  mkdir -p "$work" "$findings"
  echo "== $target: ${seconds}s"
  if ! (cd "$findings" && ASAN_OPTIONS=detect_leaks=1 \
        LSAN_OPTIONS="suppressions=$root/cmake/lsan-third-party.supp:print_suppressions=0" \
        "$build/bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "$work" "$seeds" 2>&1 | tail -n 25); then
    status=1
  fi
  if ls "$findings"/crash-* "$findings"/leak-* "$findings"/timeout-* "$findings"/oom-* >/dev/null 2>&1; then
    echo "$target: findings in $findings"
    status=1
  fi
done
exit $status
