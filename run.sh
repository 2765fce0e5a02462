#!/usr/bin/env bash
# Installs what is missing, builds a Release tree and starts Pellum with the
# arguments given, or the demo when there are none.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh

BUILD=build-release
if [[ ! -f "$BUILD/build.ninja" ]]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
# The program, its libraries and the demo host; tests are ./test.sh's.
cmake --build "$BUILD" -j "$(nproc)" --target pellum vrgask pellum-testhost

# Without arguments: the demo, a picture painted by the test host on
# 127.0.0.1 and Pellum connected to it. With arguments: Pellum itself.
if [[ $# -eq 0 ]]; then
  exec scripts/demo.sh "$BUILD"
fi
exec "$BUILD/bin/pellum" "$@"
