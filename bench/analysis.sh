#!/usr/bin/env bash
# Benchmark of viz256-run map and health (a 10 s, 256-microphone run at 50 kHz written by the
# script), in Release mode (build-bench/), against the plain numpy map and a plain read.
#
#   bench/analysis.sh [folder]
#
# folder: where the run goes (default: $VIZ256_BENCH_DIR, else a new temporary folder); the
# run is deleted at the end. VIZ256_BENCH_REPS: repetitions (default 3). Prints rows of the
# README's table. Benchmarks are never part of the test suite.
set -euo pipefail
source "$(dirname "$0")/prepare.sh"
echo "bench/analysis.sh: folder $folder, load: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
/usr/bin/python3 bench/analysis.py "$root/build-bench/viz256-run" "$folder" "${VIZ256_BENCH_REPS:-3}"
