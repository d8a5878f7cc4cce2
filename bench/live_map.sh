#!/usr/bin/env bash
# Benchmark of the live map (256 microphones, 41 x 41 points, the third octave about 2 kHz, a
# 1 s window; one BLAS thread, as the viewer) in Release mode (build-bench/):
#  - the map's update every 40 ms of stream and every 0.163 s (a tap block at the peak, 8 MiB),
#    against the same update in plain numpy, side by side in one run (one JSON line each);
#  - viz256-view attached live to viz256-record at the peak under viz256-emulator
#    (bench/live_map_view.py): maps of distinct windows of frames a second (a tap block is
#    mapped in slices of about 40 ms), block completion to painted map (median, 99th
#    percentile), the viewer's CPU, the recorder's CPU without and with the viewer, the load
#    average at each step, the recording checked ("key value" lines).
#
#   bench/live_map.sh [folder]
#
# VIZ256_BENCH_SECONDS: seconds of stream of the update and of each live step (default 10).
# The viewer draws on $DISPLAY (xvfb-run -a bench/live_map.sh: Xvfb), else offscreen.
# VIZ256_BENCH_SMOKE=BUILD_DIR: a second or two with that build's binaries (the test suite's
# smoke run).
set -euo pipefail
bench_targets="viz256_bench_live_map viz256-view viz256-record viz256-emulator viz256-run"
source "$(dirname "$0")/prepare.sh"
seconds=${VIZ256_BENCH_SECONDS:-10}
[ "$smoke" = 1 ] && seconds=1
echo "bench/live_map.sh: load: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
for hop in 0.04 0.163; do
  echo "C++ (OpenBLAS), a map every $hop s of stream:"
  "$bench_build/bench/viz256_bench_live_map" --seconds "$seconds" --hop "$hop"
  echo "numpy (OpenBLAS, one thread as well):"
  OPENBLAS_NUM_THREADS=1 /usr/bin/python3 bench/live_map_numpy.py arrays/viz256_spiral.xml --seconds "$seconds" --hop "$hop"
done

# Live: the viewer's settings and the taps in the benchmark's folder.
[ -n "${DISPLAY:-}" ] || export QT_QPA_PLATFORM=offscreen
export XDG_CONFIG_HOME="$folder/config" VIZ256_TAP_DIR="$folder/taps"
live=$seconds
[ "$smoke" = 1 ] && live=2
echo "viz256-view live on viz256-record at the peak (${QT_QPA_PLATFORM:-xcb}):"
"$bench_build/viz256-emulator" -- /usr/bin/python3 bench/live_map_view.py "$bench_build" "$folder" "$live"
