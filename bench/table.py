#!/usr/bin/env python3
"""Median/spread table of the benchmarks run by bench/run.sh.

usage: table.py RESULTS LEVELS_JSON [NOTE...]
RESULTS holds "rep key value..." lines written by bench_run; LEVELS_JSON is Google
Benchmark's JSON output of viz256_bench_levels (with repetitions)."""
import json
import statistics
import sys
from collections import defaultdict

PEAK_MBPS = 262 * 4 * 50000 / 1e6  # the recorder's peak, 52.4 MB/s


def load(path):
    reps = defaultdict(dict)  # rep -> key -> float
    threads = defaultdict(lambda: defaultdict(list))  # prefix -> (name, role) -> [pct]
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) < 3:
                continue
            rep, key = parts[0], parts[1]
            if key.endswith("_thread") and len(parts) >= 6:
                threads[key[:-7]][(parts[3], parts[4])].append(float(parts[5]))
                continue
            try:
                reps[rep][key] = float(parts[2])
            except ValueError:
                pass
    return reps, threads


def series(reps, key, fn=None):
    out = []
    for rep in sorted(reps):
        d = reps[rep]
        if fn is not None:
            try:
                out.append(fn(d))
            except (KeyError, ValueError):
                pass
        elif key in d:
            out.append(d[key])
    return out


def fmt(values, digits=1, unit=""):
    if not values:
        return "n/a"
    med = statistics.median(values)
    if len(values) == 1:
        return f"{med:.{digits}f}{unit}"
    return f"{med:.{digits}f}{unit} [{min(values):.{digits}f}-{max(values):.{digits}f}]"


def verdict(values, ok):
    if not values:
        return "n/a"
    return "met" if ok(statistics.median(values)) else "MISSED"


def main():
    reps, threads = load(sys.argv[1])
    levels = defaultdict(list)
    try:
        with open(sys.argv[2]) as f:
            for b in json.load(f)["benchmarks"]:
                if b.get("run_type") == "iteration":
                    unit = {"ns": 1e-6, "us": 1e-3, "ms": 1.0}[b["time_unit"]]
                    levels[b["run_name"]].append((b["real_time"] * unit, b["cpu_time"] * unit))
    except (OSError, ValueError, KeyError):
        pass
    notes = sys.argv[3:]
    n = len(reps)

    rows = []  # (figure, measured, reference, ratio or target, verdict)

    # 1. Recording throughput, warm then cold page cache
    for k, cond in (("record", "warm page cache"), ("recordcold", "cold page cache")):
        mb = series(reps, f"{k}_stream_MBps")
        ref = series(reps, f"{k}_reference_write_MBps")
        ratio = series(reps, None, lambda d: d[f"{k}_stream_MBps"] / d[f"{k}_reference_write_MBps"])
        size = series(reps, f"{k}_bytes")
        if not mb:
            continue
        gb = f"{statistics.median(size) / 1e9:.2f} GB" if size else "?"
        rows.append((f"1 Recording {gb}, {cond}: streaming (MB/s)", fmt(mb, 0), "plain direct 8 MiB writes " + fmt(ref, 0),
                     "ratio " + fmt(ratio, 2) + " (>= 0.8)", verdict(ratio, lambda v: v >= 0.8)))
        peak = [v / PEAK_MBPS for v in mb]
        rows.append((f"1 Recording, {cond}: vs the recorder's peak", fmt(peak, 1, " x"), f"peak {PEAK_MBPS:.1f} MB/s",
                     ">= 20 x", verdict(peak, lambda v: v >= 20)))
        whole = series(reps, f"{k}_run_MBps")
        rows.append((f"1 Recording, {cond}: click to files closed (MB/s)", fmt(whole, 0), "", "info", "info"))
        busy = series(reps, f"{k}_cpu_window_pct")
        emu_busy = series(reps, f"{k}_cpu_emulator_pct")
        others = series(reps, None, lambda d: d[f"{k}_cpu_program_pct"] - d[f"{k}_cpu_window_pct"])
        path = series(reps, f"{k}_cpu_datapath_pct")
        wri = series(reps, f"{k}_cpu_writer_pct")
        split = (": data path " + fmt(path, 0) + ", writer " + fmt(wri, 0)) if path else ""
        rows.append((f"1 Recording, {cond}: window thread busy (% of the run)", fmt(busy, 0),
                     "the program's other threads " + fmt(others, 0) + split, "info", "info"))
        copy = series(reps, f"{k}_emulator_copy_MBps")
        copy_share = series(reps, None, lambda d: 100 * d[f"{k}_emulator_copy_s"] / d[f"{k}_run_s"])
        rows.append((f"1 Recording, {cond}: the emulator's own cost, its copy at the reap (MB/s)", fmt(copy, 0),
                     "emulator threads " + fmt(emu_busy, 0) + " % of the run, the copy " + fmt(copy_share, 0) + " %",
                     "info", "info"))

    # 1 through the strict producer every test uses (the kernel's buffer filled frame by frame,
    # copied at the reap): what the emulator's cost does to the figure.
    mb = series(reps, "recordstrict_stream_MBps")
    if mb:
        ref = series(reps, "recordstrict_reference_write_MBps")
        ratio = series(reps, None, lambda d: d["recordstrict_stream_MBps"] / d["recordstrict_reference_write_MBps"])
        emu_busy = series(reps, "recordstrict_cpu_emulator_pct")
        rows.append(("1 Recording, warm, strict emulator (frames built, kernel buffer): streaming (MB/s)", fmt(mb, 0),
                     "plain direct 8 MiB writes " + fmt(ref, 0) + ", emulator threads " + fmt(emu_busy, 0) + " %",
                     "ratio " + fmt(ratio, 2), "info"))

    # 2. CPU at the real rate. On Linux the copy of a transfer into ordinary memory at its reap
    # is the kernel's, in the reaping thread (the window's); the emulated recorder makes it on
    # its own thread and counts it: it is added back here. Device memory needs no such copy (the
    # program copies each packet for the writer itself, on the window's thread).
    def with_copy(prefix):
        return series(reps, None, lambda d: d[f"{prefix}_cpu_window_pct"] + d[f"{prefix}_reap_copy_pct"])

    cpu = series(reps, "cpu_cpu_window_pct")
    prog = series(reps, "cpu_cpu_program_pct")
    refw = series(reps, "cpu_reference_write_pct")
    direct = series(reps, "cpu_reference_direct")
    ref_kind = "plain paced O_DIRECT write" if direct and min(direct) >= 1 else "plain paced write (page cache)"
    rows.append(("2 CPU at 50 kHz x 257, recording: window thread (% core)", fmt(cpu, 2),
                 f"{ref_kind} of the stream " + fmt(refw, 2), "<= 3 %", verdict(cpu, lambda v: v <= 3)))
    rows.append(("2 CPU, recording, all program threads (% core)", fmt(prog, 2), "", "<= 3 %",
                 verdict(prog, lambda v: v <= 3)))
    over = series(reps, None, lambda d: d["cpu_cpu_window_pct"] - d["cpu_reference_write_pct"])
    rows.append(("2 CPU, recording, window thread less the reference write", fmt(over, 2), "", "info", "info"))
    zc = series(reps, "cpuzc_cpu_window_pct")
    zc_prog = series(reps, "cpuzc_cpu_program_pct")
    if zc:
        rows.append(("2 CPU, recording, device memory (zero-copy): window thread", fmt(zc, 2),
                     "ordinary buffers " + fmt(cpu, 2), "<= 3 %", verdict(zc, lambda v: v <= 3)))
        rows.append(("2 CPU, recording, device memory: all program threads", fmt(zc_prog, 2),
                     "ordinary buffers " + fmt(prog, 2), "<= 3 %", verdict(zc_prog, lambda v: v <= 3)))
    for prefix, label in (("cpu", "recording"), ("cpunorec", "not recording")):
        if series(reps, f"{prefix}_reap_copy_pct") and series(reps, f"cpuzc{prefix[3:]}_cpu_window_pct"):
            rows.append((f"2 CPU, {label}: window thread + the reap's copy, ordinary buffers", fmt(with_copy(prefix), 2),
                         "device memory " + fmt(with_copy("cpuzc" + prefix[3:]), 2), "info", "info"))
    norec = series(reps, "cpunorec_cpu_window_pct")
    rows.append(("2 CPU at 50 kHz x 257, not recording: window thread", fmt(norec, 2), "", "<= 3 %",
                 verdict(norec, lambda v: v <= 3)))
    zcn = series(reps, "cpuzcnorec_cpu_window_pct")
    if zcn:
        rows.append(("2 CPU, not recording, device memory: window thread", fmt(zcn, 2), "ordinary buffers " + fmt(norec, 2),
                     "<= 3 %", verdict(zcn, lambda v: v <= 3)))
    emu = series(reps, "cpu_cpu_emulator_pct")
    rows.append(("2 CPU, recording, emulator threads (not the program; the reap's copy included)", fmt(emu, 2),
                 "device memory " + fmt(series(reps, "cpuzc_cpu_emulator_pct"), 2), "info", "info"))

    # 3. Window latency (two latency runs per repetition: 50 kHz then 2 kHz)
    for hz in (50000, 2000):
        d = series(reps, f"latency{hz}_stream_delay_ms")
        idle = series(reps, f"latency{hz}_idle_gap_ms")
        idle_delay = [max(0.0, v - 10.0) for v in idle]
        rows.append((f"3 10 ms timer, longest delay while streaming at {hz} Hz (ms)", fmt(d, 1),
                     "idle window " + fmt(idle_delay, 1), "<= 50 ms", verdict(d, lambda v: v <= 50)))
        gap_cpu = series(reps, f"latency{hz}_stream_gap_cpu_ms")
        busy = series(reps, f"latency{hz}_stream_busy_ms")
        queue = series(reps, f"latency{hz}_stream_gap_runqueue_ms")
        if busy:
            rows.append((f"3 window thread's own work between two ticks while streaming at {hz} Hz, longest (ms)", fmt(busy, 1),
                         "within the longest gap: its work " + fmt(gap_cpu, 1) + ", waiting for a core " + fmt(queue, 1),
                         "< 10 ms", verdict(busy, lambda v: v < 10)))
        s = series(reps, f"latency{hz}_run_gap_ms")
        rows.append((f"3 longest timer gap over the whole Start click at {hz} Hz (ms)", fmt(s, 0), "", "info", "info"))

    # 4. Level pass
    for name, label in (("PasseNiveaux/stable", "cells keep their colour"),
                        ("PasseNiveaux/change", "every cell changes colour"),
                        ("PasseNiveaux/float", "float samples, stable")):
        real = [r for r, _ in levels.get(name, [])]
        cpu_t = [c for _, c in levels.get(name, [])]
        ref_t = [r for r, _ in levels.get("MoyennesCarres", [])]
        rows.append((f"4 Level pass, 257 words, 256 mics, {label} (ms)", fmt(real, 3) + " (cpu " + fmt(cpu_t, 3) + ")",
                     "arithmetic alone " + fmt(ref_t, 3), "<= 0.2 ms", verdict(real, lambda v: v <= 0.2)))

    # 5. Memory
    # The eight 8 MiB transfer buffers of the ring's usbfs memory are in this process: the
    # emulated kernel's own buffers (ordinary ring buffers) or the device-memory mapping. On
    # Linux the first are the kernel's and the second a VM_IO mapping, counted in no RSS.
    usbfs_mb = 8 * 8388608 / 1e6
    base = series(reps, None, lambda d: d["baseline_vmhwm_kB"] * 1024 / 1e6)
    for kinds, label in ((("cpu", "cpunorec"), "ordinary buffers"), (("cpuzc", "cpuzcnorec"), "device memory")):
        hwm = series(reps, None, lambda d: max(d[k + "_vmhwm_kB"] for k in kinds) * 1024 / 1e6)
        if not hwm:
            continue
        own = [v - usbfs_mb for v in hwm]
        rows.append((f"5 Peak RSS (VmHWM) of a paced run, {label} (MB)", fmt(hwm, 1),
                     "after Init, before Start " + fmt(base, 1), "info", "info"))
        rows.append((f"5 The same less the ring's {usbfs_mb:.0f} MB of usbfs memory (MB)", fmt(own, 1), "", "<= 120 MB",
                     verdict(own, lambda v: v <= 120)))
    # An unpaced recorder, or a stalled disk, fills the reserve in memory ahead of the disk.
    full = series(reps, None, lambda d: max(d[k] for k in ("record_vmhwm_kB", "recordcold_vmhwm_kB", "stall_vmhwm_kB")
                                           if k in d) * 1024 / 1e6)
    rows.append(("5 Peak RSS with the reserve in use (unpaced, stalled disk) (MB)", fmt(full, 0), "", "info", "info"))

    # 6. Idle
    idle = series(reps, "idle_cpu_window_pct")
    idle_all = series(reps, "idle_cpu_process_pct")
    rows.append(("6 Idle after Init, 10 s: window thread (% core)", fmt(idle, 3), "whole process " + fmt(idle_all, 3),
                 "<= 1 %", verdict(idle, lambda v: v <= 1)))
    idle_prog = series(reps, "idle_cpu_program_pct")
    rows.append(("6 Idle, all program threads (% core)", fmt(idle_prog, 3), "", "<= 1 %",
                 verdict(idle_prog, lambda v: v <= 1)))

    # 8. A slow disk: the longest stall of the data file ridden out with no frame lost
    stall = series(reps, None, lambda d: d["stall_ridden_s"] if d["stall_lossless"] >= 1 else 0.0)
    if stall:
        pk = series(reps, "stall_reserve_packets")
        block = series(reps, "block_lossless_ms")
        ref = ("window thread blocked (where the writes were) " + fmt([v / 1000 for v in block], 2, " s")) if block else \
            f"reserve {statistics.median(pk):.0f} packets"
        rows.append(("8 Longest data-file stall at 50 kHz x 257, no frame lost (s)", fmt(stall, 1), ref, ">= 10 s",
                     verdict(stall, lambda v: v >= 10)))

    # 11. The live tap through the whole program: the recording at the peak, paced, with no
    # reader and with three reader processes; what the readers add to the program's CPU, and
    # how long after its completion a block is in a reader's hands (the worst reader's).
    tap0 = series(reps, "tap0_cpu_program_pct")
    tap3 = series(reps, "tap3_cpu_program_pct")
    extra = series(reps, None, lambda d: d["tap3_cpu_program_pct"] - d["tap0_cpu_program_pct"])
    rows.append(("11 Live tap, recording at 50 kHz x 257 with 3 readers: program's CPU (% core)", fmt(tap3, 2),
                 "no reader " + fmt(tap0, 2), "+" + fmt(extra, 2) + " (<= +0.5)", verdict(extra, lambda v: v <= 0.5)))
    for n in (0, 3):
        win = series(reps, f"tap{n}_cpu_window_pct")
        path = series(reps, f"tap{n}_cpu_datapath_pct")
        wri = series(reps, f"tap{n}_cpu_writer_pct")
        rows.append((f"11 Live tap, {n} readers: window thread (% core)", fmt(win, 2),
                     "data path thread " + fmt(path, 2) + ", writer thread " + fmt(wri, 2), "info", "info"))
    med = series(reps, "tap3_latency_median_ms")
    p99 = series(reps, "tap3_latency_p99_ms")
    missed = series(reps, "tap3_readers_missed")
    rows.append(("11 Live tap: block completion to a reader holding it, median (ms)", fmt(med, 1),
                 "99th percentile " + fmt(p99, 1) + ", blocks missed " + fmt(missed, 0), "info", "info"))

    rows = [r for r in rows if not str(r[1]).startswith("n/a")]   # figures not measured in this run
    head = ("Figure", "Measured: median [min-max]", "Reference, same run", "Ratio / target", "Verdict")
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(5)]
    print(f"Repetitions: {n} (level pass: {len(levels.get('PasseNiveaux/stable', []))})")
    print("| " + " | ".join(h.ljust(w) for h, w in zip(head, widths)) + " |")
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print("| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |")

    # Threads seen, so the split between program and emulator can be checked.
    for prefix in ("record", "recordcold", "recordstrict", "cpu", "cpuzc", "tap0", "tap3", "idle"):
        if prefix in threads:
            parts = [f"{name} ({role}) {statistics.median(v):.2f}" for (name, role), v in sorted(threads[prefix].items())]
            print(f"Threads during the {prefix} measurement (% core, median): " + "; ".join(parts))
    fifo = series(reps, "emulator_fifo")
    if fifo:
        print("Emulated recorder wake-ups: " + ("FIFO node (libusb does not spin)" if min(fifo) >= 1
                                                else "regular-file node: libusb spins, CPU figures include it"))
    for note in notes:
        print("Note: " + note)


if __name__ == "__main__":
    main()
