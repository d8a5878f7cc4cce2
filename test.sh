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
  # Test discovery runs the binaries under umockdev-wrapper's LD_PRELOAD at build time.
  export ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0
fi

scripts/install-deps.sh
cmake -S . -B "$build" "${extra[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j"$(nproc)"
