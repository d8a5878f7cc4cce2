#!/usr/bin/env bash
# Benchmark of viz256-run map and health (a 10 s, 256-microphone run at 50 kHz written by the
# script), in Release mode (build-bench/), against the plain numpy map and a plain read.
#
#   bench/analysis.sh [folder]
#
# folder: where the run goes (default: $VIZ256_BENCH_DIR, else a new temporary folder); the
# run is deleted at the end. VIZ256_BENCH_REPS: repetitions (default 3). Prints rows of the
# README's table. VIZ256_BENCH_SMOKE=BUILD_DIR: a 1 s run, once (the test suite's smoke run).
set -euo pipefail
source "$(dirname "$0")/prepare.sh"
echo "bench/analysis.sh: folder $folder, load: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
if [ "$smoke" = 1 ]; then
  /usr/bin/python3 bench/analysis.py "$bench_build/viz256-run" "$folder" 1 1
else
  /usr/bin/python3 bench/analysis.py "$bench_build/viz256-run" "$folder" "${VIZ256_BENCH_REPS:-3}"
fi
