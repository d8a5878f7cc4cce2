#!/usr/bin/env python3
"""The live map's update in plain numpy, the baseline of bench_live_map: every HOP seconds the
new frames of a 50 kHz stream of the array's microphones go into 1024-frame Hann blocks with 50 %
overlap, each block's map is sum over the band's bins of |h^H x|^2 minus the diagonal term (one
matrix product per bin for all points), and the map is the mean of the blocks of the last WINDOW
seconds. Same grid, band and steering (formulation III) as the C++ benchmark. Prints one JSON line.

usage: live_map_numpy.py GEOMETRY.xml [--smoke] [--seconds S] [--hop S] [--window S]"""
import argparse
import collections
import json
import os
import sys
import time
import xml.etree.ElementTree as ET

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from analysis_numpy import steering  # noqa: E402

FS, BLOCK, C = 50000.0, 1024, 343.0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("geometry")
    p.add_argument("--smoke", action="store_true")
    p.add_argument("--seconds", type=float, default=10)
    p.add_argument("--hop", type=float, default=0.04)
    p.add_argument("--window", type=float, default=1.0)
    a = p.parse_args()
    if a.smoke:
        a.seconds = 1
    pos = np.array([[float(e.get(k)) for k in "xyz"] for e in ET.parse(a.geometry).getroot().iter("pos")])
    m = len(pos)
    lo, hi = pos[:, :2].min(axis=0), pos[:, :2].max(axis=0)
    centre, half = (lo + hi) / 2, max(hi - lo) / 2
    axis = np.arange(41) * (2 * half / 40)
    gx, gy = np.meshgrid(centre[0] - half + axis, centre[1] - half + axis)
    points = np.stack([gx.ravel(), gy.ravel(), np.ones(gx.size)], axis=1)
    f1, f2 = 2000 / 2 ** (1 / 6), 2000 * 2 ** (1 / 6)
    freqs = np.fft.rfftfreq(BLOCK, 1 / FS)
    bins = [b for b in range(1, BLOCK // 2) if f1 <= freqs[b] <= f2]
    hs = []
    for b in bins:
        h, diag_weight = steering(pos, points, 2 * np.pi * freqs[b] / C)
        hs.append(h.astype(np.complex64))
    amp2 = np.abs(hs[0]) ** 2
    norm = 1 / (1 - diag_weight)
    window = (0.5 - 0.5 * np.cos(2 * np.pi * np.arange(BLOCK) / BLOCK)).astype(np.float32)
    scale = 2.0 / (BLOCK * np.sum(window.astype(float) ** 2))

    rng = np.random.default_rng(1)
    period = int(2 * FS)
    rows = (0.01 * rng.standard_normal((period, m))).astype(np.float32)
    step, total = int(round(a.hop * FS)), int(a.seconds * FS)
    held = np.zeros((0, m), np.float32)
    held_first = 0
    ring = collections.deque()
    span = max(a.window * FS, BLOCK)
    times = []
    for at in range(0, total - step + 1, step):
        chunk = rows[np.arange(at, at + step) % period]
        t0 = time.perf_counter()
        held = np.concatenate([held, chunk])
        starts = list(range(0, len(held) - BLOCK + 1, BLOCK // 2))
        if starts:
            blocks = np.stack([held[s:s + BLOCK] for s in starts]) * window[None, :, None]
            spectra = np.fft.rfft(blocks, axis=1)[:, bins, :]                # blocks, bins, mics
            power = np.zeros((len(starts), len(points)))
            for k, h in enumerate(hs):
                x = spectra[:, k, :].T.astype(np.complex64)                  # mics, blocks
                power += (np.abs(h.conj() @ x) ** 2).T
            power -= (amp2 @ (np.abs(spectra) ** 2).sum(axis=1).T).T
            power *= norm[None, :] * scale
            for s, pw in zip(starts, power):
                ring.append((held_first + s, pw))
            cut = starts[-1] + BLOCK // 2
            held, held_first = held[cut:], held_first + cut
            end = ring[-1][0] + BLOCK
            while len(ring) > 1 and ring[0][0] < end - span:
                ring.popleft()
        image = np.mean([pw for _, pw in ring], axis=0) if ring else None
        times.append(time.perf_counter() - t0)
    if image is None:
        sys.exit("no block mapped")
    t = np.array(times)
    print(json.dumps({"microphones": m, "grid": "41x41", "bins": len(bins), "block": BLOCK, "hop_s": a.hop,
                      "window_s": a.window, "updates": len(t), "update_ms_median": round(1e3 * float(np.median(t)), 2),
                      "update_ms_p99": round(1e3 * float(np.percentile(t, 99)), 2),
                      "maps_per_s": round(1 / float(t.mean()), 1), "core_share_at_hop": round(float(t.mean()) / a.hop, 3),
                      "peak_index": int(np.argmax(image))}))


if __name__ == "__main__":
    main()
