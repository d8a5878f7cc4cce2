#!/usr/bin/env python3
"""Benchmark of viz256-run over a big run: export to HDF5 and WAV against a plain copy of the
same .dat to the same folder, check against a plain read, peak RSS of each; side by side, in
one run. Prints rows in the format of the README's table.

usage: reading.py VIZ256_RUN FOLDER [SECONDS] [REPS]
SECONDS of 257 words at 50 kHz (default 40 s = 2.06 GB); REPS repetitions (default 3)."""
import os
import statistics
import struct
import subprocess
import sys
import time

import numpy as np

WORDS, FREQ = 257, 50000


def write_run(base, seconds):
    """A run of `seconds` at 50 kHz: counter and 256 microphones, int32, with header and log."""
    frames = int(seconds * FREQ)
    block = 8192
    rng = np.random.default_rng(1)
    mics = rng.integers(-(2**20), 2**20, size=(block, WORDS - 1), dtype=np.int32)
    with open(base + ".dat", "wb") as f:
        for first in range(0, frames, block):
            n = min(block, frames - first)
            a = np.empty((n, WORDS), dtype="<i4")
            a[:, 0] = np.arange(first, first + n, dtype=np.uint32).view(np.int32)
            a[:, 1:] = mics[:n]
            f.write(a.tobytes())
    vlx = bytearray(2097)
    struct.pack_into("<8H", vlx, 0, 2024, 5, 3, 15, 10, 0, 0, 0)
    vlx[16:16 + 256] = b"\x01" * 256
    vlx[1056] = 1
    struct.pack_into("<fIfB", vlx, 1060, FREQ, frames, np.float32(frames) / np.float32(FREQ), 0)
    vlx[1073:] = b" " * 1024
    with open(base + ".Vlx", "wb") as f:
        f.write(vlx)
    lines = ["[DEFAULT]\n", "[Date]", "Date = 15/05/2024     ;jour mois année", "Heure = 10:00:00",
             "\n[Voies]", "Nb_faisceaux = 32", f"Nb_voies = {WORDS}", "Nb_micros_actifs = 256",
             "Nb_voies_analogiques = 0", "Nb_compteurs = 1", "\n[Micros actifs]"]
    lines += [f"Faisceau_{b:03d}" + ("  1" if b < 32 else "  0") * 8 for b in range(128)]
    lines += ["\n[VA actives]"] + [f"Bloc_{k} = " + "  0" * 4 for k in "ABCD"]
    lines += ["\n[Compteurs actifs]", "Compteurs =   1  0  0  0", "\n[Acquisition]",
              f"Freq = {FREQ}      ; (Hz)", f"Duree = {frames / FREQ:.1f}       ; (s)", f"Nb_ech = {frames}",
              "Type = int32", "\n\n[OPTIONNAL]", ""]
    with open(base + ".log", "wb") as f:
        f.write("".join(l + "\r\n" for l in lines).encode("utf-8"))
    return frames * WORDS * 4


def vmhwm(pid):
    """Peak RSS (MB) of a running process; None once it has ended."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return None


def timed(cmd):
    """Seconds and peak RSS (MB) of a child process. The RSS is the child's own VmHWM, read
    while it runs (getrusage would count the memory of this Python process it was forked from)."""
    subprocess.run(["sync"], check=True)
    t = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    peak = 0.0
    while p.poll() is None:
        v = vmhwm(p.pid)
        if v is not None:
            peak = max(peak, v)
        time.sleep(0.005)
    s = time.perf_counter() - t
    if p.returncode != 0:
        sys.exit(f"{' '.join(cmd)} failed ({p.returncode}): {p.stderr.read().decode()}")
    return s, peak


def fmt(v, d=0):
    if len(v) == 1:
        return f"{v[0]:.{d}f}"
    return f"{statistics.median(v):.{d}f} [{min(v):.{d}f}-{max(v):.{d}f}]"


def main():
    tool, folder = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 40
    reps = int(sys.argv[4]) if len(sys.argv) > 4 else 3
    base = os.path.join(folder, "bench_reading")
    warm = os.path.join(folder, "bench_warm.bin")
    copy = os.path.join(folder, "bench_copy.dat")
    made = [base + e for e in (".dat", ".Vlx", ".log", ".h5", ".wav")] + [os.path.join(folder, "bench_copy.dat"), warm]
    try:
        size = write_run(base, seconds)
        print(f"  run of {size / 1e9:.2f} GB written to {folder}", file=sys.stderr)
        res = {k: [] for k in ("copy", "cp", "h5", "wav", "read", "check", "rss_h5", "rss_wav", "rss_check")}
        for rep in range(reps):
            steps = [
                ("copy", ["dd", "if=" + base + ".dat", "of=" + copy, "bs=8M", "status=none"], copy),
                ("cp", ["cp", base + ".dat", copy], copy),
                ("h5", [tool, "export", base + ".dat", "--to", base + ".h5"], base + ".h5"),
                ("wav", [tool, "export", base + ".dat", "--to", base + ".wav"], base + ".wav"),
                ("read", ["dd", "if=" + base + ".dat", "of=/dev/null", "bs=8M", "status=none"], None),
                ("check", [tool, "check", base + ".dat"], None),
            ]
            if rep % 2:
                steps.reverse()  # references after the measured work on odd repetitions
            for key, cmd, out in steps:
                if out:
                    # Each timed write follows an untimed write and delete of the same size, so
                    # that all start from a warm page cache (on this machine filling a cold
                    # one costs up to ten times more).
                    subprocess.run(["cp", base + ".dat", warm], check=True)
                    os.remove(warm)
                s, rss = timed(cmd)
                res[key].append(size / 1e6 / s)
                if "rss_" + key in res:
                    res["rss_" + key].append(rss)
                if out:
                    os.remove(out)
                print(f"  rep {rep + 1} {key}: {size / 1e6 / s:.0f} MB/s, {rss:.1f} MB RSS", file=sys.stderr)
    finally:
        for f in made:
            if os.path.exists(f):
                os.remove(f)

    def ratio(a, b):
        return [x / y for x, y in zip(res[a], res[b])]

    def verdict(v, ok):
        return "met" if ok(statistics.median(v)) else "MISSED"

    gb = f"{size / 1e9:.2f} GB"
    rows = [
        (f"7 Export {gb} to HDF5 float32, 256 mics (MB/s of the .dat)", fmt(res["h5"]),
         f"plain copy (dd 8 MiB) {fmt(res['copy'])}", f"ratio {fmt(ratio('h5', 'copy'), 2)} (>= 0.5)",
         verdict(ratio("h5", "copy"), lambda m: m >= 0.5)),
        (f"7 Export {gb} to WAV int32, 256 mics (MB/s of the .dat)", fmt(res["wav"]),
         f"plain copy (dd 8 MiB) {fmt(res['copy'])}", f"ratio {fmt(ratio('wav', 'copy'), 2)} (>= 0.5)",
         verdict(ratio("wav", "copy"), lambda m: m >= 0.5)),
        ("7 Export against cp (copy_file_range, no user-space copy)", f"HDF5 {fmt(ratio('h5', 'cp'), 2)}, WAV {fmt(ratio('wav', 'cp'), 2)}",
         f"cp {fmt(res['cp'])}", "info", "info"),
        (f"7 Check {gb}: counter over the whole file (MB/s)", fmt(res["check"]),
         f"plain read (dd 8M) {fmt(res['read'])}", f"ratio {fmt(ratio('check', 'read'), 2)} (>= 0.8)",
         verdict(ratio("check", "read"), lambda m: m >= 0.8)),
        ("7 Peak RSS of the export to HDF5 (MB)", fmt(res["rss_h5"], 1), "", "<= 100 MB",
         verdict(res["rss_h5"], lambda m: m <= 100)),
        ("7 Peak RSS of the export to WAV (MB)", fmt(res["rss_wav"], 1), "", "<= 100 MB",
         verdict(res["rss_wav"], lambda m: m <= 100)),
        ("7 Peak RSS of the check (MB)", fmt(res["rss_check"], 1), "", "<= 100 MB",
         verdict(res["rss_check"], lambda m: m <= 100)),
    ]
    for r in rows:
        print("| " + " | ".join(r) + " |")
    print(f"    Note: load average at the end: {' '.join(open('/proc/loadavg').read().split()[:3])}")


if __name__ == "__main__":
    main()
