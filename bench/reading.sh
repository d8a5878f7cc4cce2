#!/usr/bin/env bash
# Benchmark of reading runs back (viz256-run export and check), in Release mode (build-bench/).
#
#   bench/reading.sh [folder]
#
# folder: where the run, its exports and the reference copy go (default: $VIZ256_BENCH_DIR,
# else a new temporary folder); every big file is deleted at the end. Environment:
#   VIZ256_BENCH_REPS     repetitions (default 3)
#   VIZ256_BENCH_SECONDS  length of the run at 50 kHz x 257 words (default 40 s = 2.06 GB)
# Prints rows of the README's table. VIZ256_BENCH_SMOKE=BUILD_DIR: a 1 s run, once (the test
# suite's smoke run).
set -euo pipefail
source "$(dirname "$0")/prepare.sh"
echo "bench/reading.sh: folder $folder ($(df -h --output=avail "$folder" | tail -n 1 | tr -d ' ') free), load: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
if [ "$smoke" = 1 ]; then
  /usr/bin/python3 bench/reading.py "$bench_build/viz256-run" "$folder" 1 1
else
  /usr/bin/python3 bench/reading.py "$bench_build/viz256-run" "$folder" "${VIZ256_BENCH_SECONDS:-40}" "${VIZ256_BENCH_REPS:-3}"
fi
