#!/usr/bin/env python3
"""Benchmark of viz256-run map and health on a 10 s, 256-microphone, 50 kHz run (514 MB):
the map on a 41 x 41 grid in one third-octave band (2 kHz) against the run's duration and
against the plain numpy version of the same algorithm (analysis_numpy.py), with its peak RSS;
health, with the geometry and without it, against a plain read of the .dat (dd, 8 MiB blocks),
with the .dat in the page cache (each is run once before timing) and out of it (its pages dropped
before each), and the
program's start alone (`viz256-run --help`). Side by side,
in one run. Prints the rows of
the README's table. Also checks that the two maps agree.

usage: analysis.py VIZ256_RUN FOLDER [REPS] [SECONDS]"""
import os
import statistics
import subprocess
import sys
import time

import h5py
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from analysis_numpy import FREQ, numpy_map, spiral_geometry, write_run  # noqa: E402
from reading import vmhwm  # noqa: E402

SECONDS = 10.0
BAND = (2000 / 2 ** (1 / 6), 2000 * 2 ** (1 / 6))  # the third octave about 2 kHz
GRID = (-0.5, 0.5, 0.025, -0.5, 0.5, 0.025, 1.0)     # 41 x 41 points, 1 m from the array


def evict(path):
    """Drops the file's pages from the page cache (they are clean once synced)."""
    os.sync()
    fd = os.open(path, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)


def timed(cmd, ok=(0,)):
    """Wall seconds, CPU seconds (user + system, all threads) and peak RSS (MB, the child's own
    VmHWM read while it runs) of a child process."""
    t = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    peak = 0.0
    while True:
        pid, status, usage = os.wait4(p.pid, os.WNOHANG)
        if pid:
            break
        v = vmhwm(p.pid)
        if v is not None:
            peak = max(peak, v)
        time.sleep(0.002)
    wall = time.perf_counter() - t
    if os.waitstatus_to_exitcode(status) not in ok:
        sys.exit(f"{' '.join(cmd)} failed: {p.stderr.read().decode()}")
    return wall, usage.ru_utime + usage.ru_stime, peak


def main():
    tool, folder = sys.argv[1], sys.argv[2]
    reps = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else SECONDS
    base = os.path.join(folder, "scene")
    geometry = os.path.join(folder, "spiral.xml")
    positions = spiral_geometry(geometry)
    size = write_run(base, positions, seconds, [(0.2, -0.1, 1.0, 1000, 8000, 0.01)])
    grid = ",".join([":".join(f"{v:g}" for v in GRID[0:3]), ":".join(f"{v:g}" for v in GRID[3:6]), f"{GRID[6]:g}"])
    band = f"{BAND[0]:.1f}:{BAND[1]:.1f}"
    out = os.path.join(folder, "map.h5")
    map_cmd = [tool, "map", base + ".dat", "--geometry", geometry, "--band", band, "--grid", grid, "--to", out]
    health_cmd = [tool, "health", base + ".dat", "--geometry", geometry]
    plain_cmd = [tool, "health", base + ".dat"]  # no geometry: no spectra, the samples' own checks
    read_cmd = ["dd", f"if={base}.dat", "of=/dev/null", "bs=8M", "status=none"]
    for cmd in (read_cmd, map_cmd):  # warm the page cache and the program's libraries
        subprocess.run(cmd, stdout=subprocess.DEVNULL, check=True)

    start_cmd = [tool, "--help"]  # the program's start alone: its libraries loaded and bound
    rows = {"map": [], "health": [], "plain": [], "read": [], "health_cold": [], "read_cold": [], "start": []}
    for _ in range(reps):
        rows["start"].append(timed(start_cmd))
        rows["read"].append(timed(read_cmd))
        rows["health"].append(timed(health_cmd, ok=(0, 1)))
        rows["plain"].append(timed(plain_cmd, ok=(0, 1)))
        rows["map"].append(timed(map_cmd))
        evict(base + ".dat")
        rows["read_cold"].append(timed(read_cmd))
        evict(base + ".dat")
        rows["health_cold"].append(timed(health_cmd, ok=(0, 1)))
    t, c = time.perf_counter(), time.process_time()
    ref, _, _ = numpy_map(base, positions, BAND[0], BAND[1], GRID)
    numpy_s, numpy_cpu = time.perf_counter() - t, time.process_time() - c

    ours = h5py.File(out)["map"][...]
    top = ref > ref.max() * 10 ** (-15 / 10)
    worst = np.max(np.abs(10 * np.log10(ours[top] / ref[top])))
    med = {k: (statistics.median(w for w, _, _ in v), statistics.median(c for _, c, _ in v), max(r for _, _, r in v))
           for k, v in rows.items()}
    mb = size / 1e6
    m, h, r = med["map"], med["health"], med["read"]
    print(f"| 8 Map, {seconds:g} s x 256 mics at 50 kHz, 41 x 41, third octave at 2 kHz | {m[0]:.2f} s wall "
          f"({seconds / m[0]:.1f} x real time), {m[1]:.2f} s CPU | plain numpy {numpy_cpu:.1f} s CPU "
          f"({numpy_s:.1f} s wall) | ratio {numpy_cpu / m[1]:.1f} CPU, {numpy_s / m[0]:.1f} wall (>= 3); "
          f"{seconds / m[0]:.1f} x real time (> 1) | |")
    print(f"| 8 Peak RSS of the map (MB) | {m[2]:.0f} | | <= 300 MB | |")
    print(f"| 8 Map against the numpy map: largest difference within 15 dB of the peak | {worst:.1e} dB | | info | info |")
    print(f"| 8 Health, same run, with geometry (MB/s of the .dat) | {mb / h[0]:.0f} wall, {mb / h[1]:.0f} per CPU s "
          f"(peak RSS {h[2]:.0f} MB) | plain read (dd 8 MiB) {mb / r[0]:.0f} wall, {mb / r[1]:.0f} per CPU s | "
          f"ratio {r[0] / h[0]:.2f} wall, {r[1] / h[1]:.2f} CPU (>= 0.8) | |")
    p = med["plain"]
    print(f"| 8 Health without geometry, warm (MB/s of the .dat) | {mb / p[0]:.0f} wall, {mb / p[1]:.0f} per CPU s "
          f"(peak RSS {p[2]:.0f} MB) | plain read as above | ratio {r[0] / p[0]:.2f} wall, {r[1] / p[1]:.2f} CPU (>= 0.8) | |")
    st = med["start"]
    print(f"| 8 Health less the program's start ({st[0]:.3f} s wall, {st[1]:.3f} s CPU: `viz256-run --help`) | "
          f"{mb / (h[0] - st[0]):.0f} wall, {mb / (h[1] - st[1]):.0f} per CPU s | plain read as above | "
          f"ratio {r[0] / (h[0] - st[0]):.2f} wall, {r[1] / (h[1] - st[1]):.2f} CPU | info |")
    h, r = med["health_cold"], med["read_cold"]
    print(f"| 8 Health, cold page cache (MB/s of the .dat) | {mb / h[0]:.0f} wall | plain read (dd 8 MiB) {mb / r[0]:.0f} "
          f"wall | ratio {r[0] / h[0]:.2f} wall (>= 0.8) | |")
    print(f"load average: {open('/proc/loadavg').read().split()[0:3]}, {reps} repetitions, medians", file=sys.stderr)
    for f in os.listdir(folder):
        if f.startswith("scene") or f == "map.h5":
            os.remove(os.path.join(folder, f))


if __name__ == "__main__":
    main()
