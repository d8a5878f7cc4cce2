#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
#   ./test.sh             normal build in build/
#   ./test.sh --sanitize  the same suite built with AddressSanitizer + UBSan in build-asan/
set -euo pipefail
cd "$(dirname "$0")"

build=build
extra=()
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  extra=(-DVIZ256_SANITIZE=ON -DVIZ256_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
fi

scripts/install-deps.sh
cmake -S . -B "$build" -DVIZ256_TESTS=ON "${extra[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure --no-tests=error -j"$(nproc)"
