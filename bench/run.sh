#!/usr/bin/env bash
# Performance benchmarks of viz256 against the emulated recorder, in Release mode (build-bench/).
#
#   bench/run.sh [folder]
#
# folder: where the recorded runs and the reference writes go (default: $VIZ256_BENCH_DIR,
# else a new temporary folder, removed at the end). Every big file is deleted after its
# repetition. Environment:
#   VIZ256_BENCH_REPS     repetitions of each measurement (default 3, at least 3 advised)
#   VIZ256_BENCH_SECONDS  length of the unpaced recorded run at 50 kHz x 257 words (default 40
#                         s = 2.06 GB); scaled down when the folder's disk cannot hold it
#   VIZ256_BENCH_CPU_SECONDS  length of the paced run of the CPU figure (default 60)
#   VIZ256_BENCH_LATENCY_SECONDS  length of each paced run of the latency figure (default 15)
#   VIZ256_BENCH_TAP_SECONDS  length of each paced run of the live tap's figure (default 30)
#   VIZ256_BENCH_ONLY     "cpu": figure 2 alone (CPU at the real rate, with and without
#                         device memory); "recording": figures 1 and 3 alone (the recording
#                         rate and the timer's delay while streaming); "tap": figure 11 alone
#                         (the recording at the peak with 0 and 3 live-tap readers)
#   VIZ256_BENCH_SMOKE    a build tree: every measurement once, on a second of data, with its
#                         binaries (the test suite's smoke run; its figures mean nothing)
# Prints a table of medians and spreads (min-max) with the reference measured in the same run;
# the raw figures stay in build-bench/results/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

reps=${VIZ256_BENCH_REPS:-3}
rec_s=${VIZ256_BENCH_SECONDS:-40}
cpu_s=${VIZ256_BENCH_CPU_SECONDS:-60}
lat_s=${VIZ256_BENCH_LATENCY_SECONDS:-15}
tap_s=${VIZ256_BENCH_TAP_SECONDS:-30}
only=${VIZ256_BENCH_ONLY:-}
frame=$((257 * 4))
rate=$((frame * 50000)) # bytes per second at 50 kHz
reserve=1000000000      # the program leaves 1 GB free on the disk
margin=500000000

if [ -z "${VIZ256_BENCH_SMOKE:-}" ]; then
  if [ -x scripts/install-deps.sh ]; then
    scripts/install-deps.sh >/dev/null # apt's lists first
  fi
  if ! dpkg -s libbenchmark-dev >/dev/null 2>&1; then
    echo "bench/run.sh: installing libbenchmark-dev (Google Benchmark)"
    if [ "$(id -u)" = 0 ]; then apt-get install -y libbenchmark-dev >/dev/null
    else sudo apt-get install -y libbenchmark-dev >/dev/null; fi
  fi
fi

bench_targets="viz256_bench_run viz256_bench_levels"
source "$(dirname "$0")/prepare.sh"
run_bin=$bench_build/bench/viz256_bench_run
levels_bin=$bench_build/bench/viz256_bench_levels
level_time=0.5
if [ "$smoke" = 1 ]; then
  reps=1 rec_s=1 cpu_s=1 lat_s=1 tap_s=1 level_time=0.01
  export VIZ256_BENCH_SMOKE
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/viz256-bench-results.XXXXXX")
cleanup() {
  rm -f "$folder"/bench_run.dat "$folder"/bench_run.Vlx "$folder"/bench_run.log "$folder"/bench_reference.bin \
        "$folder"/bench_cpu.dat "$folder"/bench_cpu.Vlx "$folder"/bench_cpu.log "$folder"/bench_cpu_reference.bin "$folder"/bench_warm.bin \
        "$folder"/bench_stall.dat "$folder"/bench_stall.Vlx "$folder"/bench_stall.log \
        "$folder"/bench_tap.dat "$folder"/bench_tap.Vlx "$folder"/bench_tap.log
  [ -n "$tmp_made" ] && rm -rf "$tmp_made"
  rm -rf "$work"
  if [ -n "${runtime:-}" ]; then rm -rf "$runtime"; fi
}
trap cleanup EXIT

notes=()
avail=$(df -B1 --output=avail "$folder" | tail -n 1 | tr -d ' ')
need=$((rec_s * rate + reserve + margin))
if [ "$avail" -lt "$need" ]; then
  rec_s=$(( (avail - reserve - margin) / rate ))
  if [ "$rec_s" -lt 2 ]; then
    echo "bench/run.sh: $folder has $((avail / 1000000)) MB free: not enough for a recorded run" >&2
    exit 1
  fi
  notes+=("disk of $folder has $((avail / 1000000)) MB free: recorded run scaled down to ${rec_s} s ($((rec_s * rate / 1000000)) MB) instead of 2 GB")
fi
cpu_dir=$folder
if [ "$avail" -lt $((cpu_s * rate + reserve + margin)) ]; then
  cpu_dir=-
  notes+=("disk too small for ${cpu_s} s at the real rate: the CPU run does not record (no write in the figure)")
fi

echo "bench/run.sh: folder $folder ($(df -h --output=avail "$folder" | tail -n 1 | tr -d ' ') free), $reps repetitions, load: $(cut -d' ' -f1-3 /proc/loadavg)"
export QT_QPA_PLATFORM=offscreen
# The runtime folder (where the live tap's segment goes) on a memory file system, as a desktop
# session's is: a segment on disk would have its pages written back during the run, beside the
# data file.
runtime=$(mktemp -d /dev/shm/viz256-bench-runtime.XXXXXX 2>/dev/null || echo "$work")
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$runtime}
chmod 700 "$work"
one() { # rep, then the arguments of bench_run
  local rep=$1; shift
  echo "  rep $rep: $*" >&2
  if ! umockdev-wrapper "$run_bin" "$@" >"$work/out" 2>"$work/err"; then
    echo "bench/run.sh: bench_run $* failed:" >&2
    cat "$work/err" >&2
    exit 1
  fi
  sed "s/^/$rep /" "$work/out" >>"$work/results"
}
for rep in $(seq 1 "$reps"); do
  # The reference write goes after the run on odd repetitions and before it on even ones.
  if [ $((rep % 2)) = 0 ]; then order=reference-first; else order=; fi
  # Figure 2 with ordinary buffers (usbfs copies each transfer at its reap) and with device
  # memory (zero-copy), recorded and not.
  cpu_runs() {
    one "$rep" cpu "$cpu_dir" "$cpu_s"
    one "$rep" cpu "$cpu_dir" "$cpu_s" device-memory
    one "$rep" cpu - "$cpu_s"
    one "$rep" cpu - "$cpu_s" device-memory
  }
  if [ "$only" = cpu ]; then
    cpu_runs
    continue
  fi
  # Figure 11: the recording at the peak with no reader of the live tap, then with three
  # (processes of their own, attached before Start).
  tap_runs() {
    one "$rep" tap "$cpu_dir" "$tap_s" 0
    one "$rep" tap "$cpu_dir" "$tap_s" 3
  }
  if [ "$only" = tap ]; then
    tap_runs
    continue
  fi
  one "$rep" record "$folder" "$rec_s" $order
  one "$rep" record "$folder" "$rec_s" $order cold
  one "$rep" record "$folder" "$rec_s" $order strict
  if [ "$only" = recording ]; then
    one "$rep" latency 50000 "$lat_s"
    one "$rep" latency 2000 "$lat_s"
    continue
  fi
  cpu_runs
  tap_runs
  one "$rep" latency 50000 "$lat_s"
  one "$rep" latency 2000 "$lat_s"
  one "$rep" idle "$([ "$smoke" = 1 ] && echo 1 || echo 10)"
  one "$rep" stall "$folder"
  one "$rep" block
done
if [ -z "$only" ]; then
  echo "  level pass (Google Benchmark, $reps repetitions)" >&2
  "$levels_bin" --benchmark_repetitions="$reps" --benchmark_min_time="$level_time" --benchmark_format=json \
    >"$work/levels.json" 2>"$work/levels.err" || { cat "$work/levels.err" >&2; exit 1; }
else
  echo '{"benchmarks": []}' >"$work/levels.json"
fi
notes+=("load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)")
[ "$smoke" = 1 ] && notes+=("smoke run: one short repetition of each measurement; its figures mean nothing")
if [ "$smoke" = 0 ]; then
  mkdir -p build-bench/results
  cp "$work/results" build-bench/results/bench_run.txt
  cp "$work/levels.json" build-bench/results/levels.json
fi
python3 bench/table.py "$work/results" "$work/levels.json" "${notes[@]}"
