#!/usr/bin/env python3
"""Benchmark of viz256-run map and health on a 10 s, 256-microphone, 50 kHz run (514 MB):
the map on a 41 x 41 grid in one third-octave band (2 kHz) against the run's duration and
against the plain numpy version of the same algorithm (analysis_numpy.py), with its peak RSS;
health against a plain read of the .dat (dd, 8 MiB blocks). Side by side, in one run; the
page cache holds the .dat for all of them (each is run once before timing). Prints the rows of
the README's table. Also checks that the two maps agree.

usage: analysis.py VIZ256_RUN FOLDER [REPS]"""
import os
import statistics
import subprocess
import sys
import time

import h5py
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from analysis_numpy import FREQ, numpy_map, spiral_geometry, write_run  # noqa: E402
from reading import timed  # noqa: E402

SECONDS = 10.0
BAND = (2000 / 2 ** (1 / 6), 2000 * 2 ** (1 / 6))  # the third octave about 2 kHz
GRID = (-0.5, 0.5, 0.025, -0.5, 0.5, 0.025, 1.0)     # 41 x 41 points, 1 m from the array


def main():
    tool, folder = sys.argv[1], sys.argv[2]
    reps = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    base = os.path.join(folder, "scene")
    geometry = os.path.join(folder, "spiral.xml")
    positions = spiral_geometry(geometry)
    size = write_run(base, positions, SECONDS, [(0.2, -0.1, 1.0, 1000, 8000, 0.01)])
    grid = ",".join([":".join(f"{v:g}" for v in GRID[0:3]), ":".join(f"{v:g}" for v in GRID[3:6]), f"{GRID[6]:g}"])
    band = f"{BAND[0]:.1f}:{BAND[1]:.1f}"
    out = os.path.join(folder, "map.h5")
    map_cmd = [tool, "map", base + ".dat", "--geometry", geometry, "--band", band, "--grid", grid, "--to", out]
    health_cmd = [tool, "health", base + ".dat", "--geometry", geometry]
    read_cmd = ["dd", f"if={base}.dat", "of=/dev/null", "bs=8M", "status=none"]
    for cmd in (read_cmd, map_cmd):  # warm the page cache and the program's libraries
        subprocess.run(cmd, stdout=subprocess.DEVNULL, check=True)

    rows = {"map": [], "health": [], "read": []}
    for _ in range(reps):
        rows["read"].append(timed(read_cmd))
        rows["health"].append(timed(health_cmd))
        rows["map"].append(timed(map_cmd))
    t = time.perf_counter()
    ref, _, _ = numpy_map(base, positions, BAND[0], BAND[1], GRID)
    numpy_s = time.perf_counter() - t

    ours = h5py.File(out)["map"][...]
    top = ref > ref.max() * 10 ** (-15 / 10)
    worst = np.max(np.abs(10 * np.log10(ours[top] / ref[top])))
    med = {k: (statistics.median(s for s, _ in v), max(r for _, r in v)) for k, v in rows.items()}
    mb = size / 1e6
    print(f"| map, 10 s x 256 mics at 50 kHz, 41 x 41, third octave at 2 kHz | {med['map'][0]:.2f} s "
          f"({SECONDS / med['map'][0]:.1f} x real time) | peak RSS {med['map'][1]:.0f} MB | "
          f"numpy {numpy_s:.1f} s: ratio {numpy_s / med['map'][0]:.1f} | maps agree within {worst:.1e} dB |")
    print(f"| health, same run (with geometry) | {med['health'][0]:.2f} s ({mb / med['health'][0]:.0f} MB/s) | "
          f"peak RSS {med['health'][1]:.0f} MB | plain read (dd) {med['read'][0]:.2f} s "
          f"({mb / med['read'][0]:.0f} MB/s): ratio {med['read'][0] / med['health'][0]:.2f} | |")
    print(f"load average: {open('/proc/loadavg').read().split()[0:3]}, {reps} repetitions, medians", file=sys.stderr)
    for f in os.listdir(folder):
        if f.startswith("scene") or f == "map.h5":
            os.remove(os.path.join(folder, f))


if __name__ == "__main__":
    main()
