#!/usr/bin/env bash
# Benchmark of the live map's update (256 microphones, 41 x 41 points, the third octave about
# 2 kHz, a 1 s window, a new map every 40 ms of stream; one BLAS thread, as the viewer) in
# Release mode (build-bench/), against the same update in plain numpy, side by side in one run.
# Prints one JSON line each.
#
#   bench/live_map.sh
#
# VIZ256_BENCH_SECONDS: seconds of stream (default 10). VIZ256_BENCH_SMOKE=BUILD_DIR: one
# second with that build's binary (the test suite's smoke run).
set -euo pipefail
bench_targets=viz256_bench_live_map
set --
source "$(dirname "$0")/prepare.sh"
seconds=${VIZ256_BENCH_SECONDS:-10}
[ "$smoke" = 1 ] && seconds=1
echo "bench/live_map.sh: load: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
echo "C++ (OpenBLAS):"
"$bench_build/bench/viz256_bench_live_map" --seconds "$seconds"
echo "numpy (OpenBLAS, one thread as well):"
OPENBLAS_NUM_THREADS=1 /usr/bin/python3 bench/live_map_numpy.py arrays/viz256_spiral.xml --seconds "$seconds"
