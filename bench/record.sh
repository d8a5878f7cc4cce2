#!/usr/bin/env bash
# Benchmark of viz256-record at the paced peak (50 kHz, 257 words), in Release mode (build-bench/).
#
#   bench/record.sh [folder]
#
# folder: where the recorded runs go (default: $VIZ256_BENCH_DIR, else a new temporary folder);
# every run is deleted once checked. Per repetition, in one run of the script:
#   - the window's figure 2 (bench_run cpu: a paced recorded run through the window; CPU of all
#     the program's threads), the reference;
#   - viz256-record's work in the benchmark's process (bench_run cli), against the same in-process
#     recorder as the window's figure, its threads counted the same way;
#   - viz256-record (257 words: the microphones and the counter, as the window's figure) against
#     one emulated recorder (viz256-emulator, paced): CPU of all its
#     threads over the stream and over the whole process, frames lost, `viz256-run check`;
#   - two viz256-record processes against two emulated recorders at once: the same for each,
#     and their sum.
# With viz256-emulator the recorders run in its process, but umockdev's preload in the program
# carries every usbfs call and each transfer's data through a socket, in the program's threads:
# those figures include that emulation cost, which a Linux host does not have.
# Environment: VIZ256_BENCH_REPS (default 3), VIZ256_BENCH_CPU_SECONDS (length of each run,
# default 60), VIZ256_EMULATOR (another viz256-emulator than build-bench's). Prints rows of the
# README's table; raw figures in build-bench/results/record.txt. VIZ256_BENCH_SMOKE=BUILD_DIR:
# once, 2 s runs, with that build's binaries (the test suite's smoke run).
set -euo pipefail
reps=${VIZ256_BENCH_REPS:-3}
secs=${VIZ256_BENCH_CPU_SECONDS:-60}
emulator=${VIZ256_EMULATOR:-}
bench_targets="viz256-record viz256-run viz256_bench_run $([ -n "$emulator" ] || echo viz256-emulator)"
source "$(dirname "$0")/prepare.sh"
bin=$bench_build
if [ "$smoke" = 1 ]; then
  reps=1 secs=2
fi
emulator=${emulator:-$bin/viz256-emulator}
work=$(mktemp -d "${TMPDIR:-/tmp}/viz256-bench-results.XXXXXX")
trap 'rm -f "$folder"/bench_record*.{dat,Vlx,log} "$folder"/bench_cpu* "$folder"/bench_cli*; [ -n "$tmp_made" ] && rm -rf "$tmp_made"; rm -rf "$work"; if [ -n "${runtime:-}" ]; then rm -rf "$runtime"; fi' EXIT
need=$((2 * secs * 257 * 4 * 50000 + 2000000000))
avail=$(df -B1 --output=avail "$folder" | tail -n 1 | tr -d ' ')
if [ "$avail" -lt "$need" ]; then
  echo "bench/record.sh: $folder has $((avail / 1000000)) MB free, two recorded runs of ${secs} s need $((need / 1000000))" >&2
  exit 1
fi
echo "bench/record.sh: folder $folder, $reps repetitions of ${secs} s, load: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
export QT_QPA_PLATFORM=offscreen
# The runtime folder (where the live tap's segment goes) on a memory file system, as a desktop
# session's is: a segment on disk would have its pages written back during the run, beside the
# data file.
runtime=$(mktemp -d /dev/shm/viz256-bench-runtime.XXXXXX 2>/dev/null || echo "$work")
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$runtime}
chmod 700 "$work"

one() { # rep, prefix, command...
  local rep=$1 prefix=$2; shift 2
  echo "  rep $rep: $prefix" >&2
  if ! "$@" >"$work/out" 2>"$work/err"; then
    echo "bench/record.sh: $prefix failed:" >&2
    cat "$work/err" >&2
    exit 1
  fi
  sed "s/^/$rep $prefix: /" "$work/err" | grep -v "^$rep $prefix: *$" >>"$work/errors" || true
  sed "s/^/$rep ${prefix}_/" "$work/out" >>"$work/results"
}
for rep in $(seq 1 "$reps"); do
  one "$rep" window umockdev-wrapper "$bin/bench/viz256_bench_run" cpu "$folder" "$secs"
  one "$rep" cli umockdev-wrapper "$bin/bench/viz256_bench_run" cli "$folder" "$secs"
  one "$rep" one "$emulator" -- python3 bench/record_cpu.py "$bin" "$folder" "$secs" 1
  one "$rep" two "$emulator" --recorders 2 -- python3 bench/record_cpu.py "$bin" "$folder" "$secs" 2
done
if [ "$smoke" = 0 ]; then
  mkdir -p build-bench/results
  cp "$work/results" build-bench/results/record.txt
  cp "$work/errors" build-bench/results/record.err 2>/dev/null || true
fi

python3 - "$work/results" "$(cut -d' ' -f1-3 /proc/loadavg)" <<'PY'
import statistics, sys
from collections import defaultdict
reps = defaultdict(dict)
for line in open(sys.argv[1]):
    p = line.split()
    if len(p) == 3 and p[1].split("_")[0] in ("window", "cli", "one", "two"):
        try:
            reps[p[0]][p[1]] = float(p[2])
        except ValueError:
            pass
def s(fn):
    out = []
    for d in reps.values():
        try:
            out.append(fn(d))
        except KeyError:
            pass
    return out
def fmt(v, n=2):
    if not v:
        return "n/a"
    return f"{statistics.median(v):.{n}f} [{min(v):.{n}f}-{max(v):.{n}f}]"
def lost(d, pre, k):
    return d[f"{pre}_record{k}_frames_asked"] - d[f"{pre}_record{k}_frames_kept"] + d[f"{pre}_record{k}_counter_gaps"]
def clean(d, pre, n):
    return all(d[f"{pre}_record{k}_status"] == 0 and d[f"{pre}_record{k}_check"] == 0 and lost(d, pre, k) == 0 for k in range(n))
win = s(lambda d: d["window_cpu_cpu_program_pct"])
cli = s(lambda d: d["cli_cli_cpu_program_pct"])
cli_main = s(lambda d: d["cli_cli_cpu_window_pct"])
win_main = s(lambda d: d["window_cpu_cpu_window_pct"])
one = s(lambda d: d["one_record0_cpu_stream_pct"])
one_all = s(lambda d: 100 * d["one_record0_cpu_total_s"] / d["one_record0_stream_s"])
two = s(lambda d: d["two_record0_cpu_stream_pct"] + d["two_record1_cpu_stream_pct"])
two_each = s(lambda d: max(d["two_record0_cpu_stream_pct"], d["two_record1_cpu_stream_pct"]))
two_lost = s(lambda d: lost(d, "two", 0) + lost(d, "two", 1))
med = lambda v: statistics.median(v) if v else float("nan")
rows = [
    ("2b viz256-record at 50 kHz x 257, recording, same process as the emulator: all its threads (% core)", fmt(cli),
     f"window, all program threads {fmt(win)}", f"ratio {med(cli) / med(win):.2f}; <= 3 %", "met" if med(cli) <= 3 else "MISSED"),
    ("2b the same: its main thread (% core)", fmt(cli_main), f"window thread {fmt(win_main)}", "info", "info"),
    ("2b viz256-record under viz256-emulator: all its threads over the stream, umockdev's socket included (% core)", fmt(one),
     "", "info", "info"),
    ("2b viz256-record, the whole process from start to exit, per second of stream (% core)", fmt(one_all), "", "info", "info"),
    ("2b viz256-record: frames lost, runs clean under viz256-run check", fmt(s(lambda d: lost(d, "one", 0)), 0),
     "", "0, clean", "met" if all(s(lambda d: clean(d, "one", 1))) else "MISSED"),
    ("2c two viz256-record at the peak at once (viz256-emulator): CPU in all over the stream, umockdev's socket included (% core)",
     fmt(two), f"the busier of the two {fmt(two_each)}", "<= 3 %", "met" if med(two) <= 3 else "MISSED"),
    ("2c two recorders at the peak: frames lost in all, both clean under viz256-run check", fmt(two_lost, 0), "",
     "0, clean", "met" if two_lost and max(two_lost) == 0 and all(s(lambda d: clean(d, "two", 2))) else "MISSED"),
]
w = [max(len(r[i]) for r in rows) for i in range(5)]
print("| " + " | ".join(h.ljust(w[i]) for i, h in enumerate(["Figure", "Measured: median [min-max]", "Reference, same run", "Ratio / target", "Verdict"])) + " |")
print("|" + "|".join("-" * (x + 2) for x in w) + "|")
for r in rows:
    print("| " + " | ".join(c.ljust(w[i]) for i, c in enumerate(r)) + " |")
print(f"\n    Note: load average at the end {sys.argv[2]}")
PY
