#!/usr/bin/env bash
# Installs what is missing, builds a Release tree and starts Pellum with the
# arguments given.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh

BUILD=build-release
if [[ ! -f "$BUILD/build.ninja" ]]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$BUILD" -j "$(nproc)"

if [[ -x "$BUILD/bin/pellum" ]]; then
  exec "$BUILD/bin/pellum" "$@"
fi
echo "run.sh: built the libraries; there is no pellum program yet."
