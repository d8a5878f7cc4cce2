#!/usr/bin/env python3
"""Plain numpy versions of viz256-run's analysis, for the benchmark's speed ratio and as the
reference of accuracy checks; plus the synthetic runs they are measured on.

- spiral_geometry(path): a 256-microphone spiral layout, written as the MicArray XML.
- write_run(base, positions, seconds, sources, faults): a run of a free-field scene.
- numpy_map(base, positions, f1, f2, grid): the same algorithm as `viz256-run map`
  (Welch, Hann, 50 % overlap, blocks of 1024, diagonal removed, steering formulation III).
"""
import struct

import numpy as np

FREQ, FULL = 50000, 2.0 ** 31


def spiral_geometry(path, mics=256, arms=32, diameter=1.0):
    """32 arms of 8 microphones, each arm a logarithmic spiral from 0.1 to 0.5 m of radius."""
    pos = []
    for b in range(arms):
        for m in range(mics // arms):
            r = 0.5 * diameter * (0.2 + 0.8 * m / (mics // arms - 1))
            a = 2 * np.pi * b / arms + 1.2 * np.log(r / 0.1)
            pos.append((r * np.cos(a), r * np.sin(a), 0.0))
    pos = np.array(pos)
    with open(path, "w") as f:
        f.write('<?xml version="1.0" encoding="utf-8"?>\n<MicArray name="bench spiral">\n')
        for i, (x, y, z) in enumerate(pos):
            f.write(f'  <pos Name="Point {i + 1}" x="{x:.6f}" y="{y:.6f}" z="{z:.6f}"/>\n')
        f.write("</MicArray>\n")
    return pos


def write_run(base, positions, seconds, sources, noise=1e-4, faults=(), c=343.0, seed=1):
    """A counter and the microphones (int32) of `seconds` at 50 kHz: each source is band-limited
    noise (x, y, z, f1, f2, rms at 1 m, fraction of full scale) delayed by r/c in the frequency
    domain with amplitude 1/r, plus independent noise. faults: (index, kind) with kind
    dead, reversed, clipped or noisy."""
    n = int(seconds * FREQ)
    m = len(positions)
    rng = np.random.default_rng(seed)
    f = np.fft.rfftfreq(n, 1 / FREQ)
    spectra = []
    for (x, y, z, f1, f2, rms) in sources:
        s = np.fft.rfft(rng.standard_normal(n))
        s[(f < f1) | (f > f2)] = 0
        s *= rms / np.sqrt(np.sum(np.abs(s) ** 2) * 2 / n ** 2)
        spectra.append(((x, y, z), s))
    words = m + 1
    out = np.lib.format.open_memmap(base + ".npy", mode="w+", dtype="<i4", shape=(n, words))
    out[:, 0] = np.arange(n, dtype=np.int64).astype(np.uint32).view(np.int32)
    kinds = dict(faults)
    for first in range(0, m, 16):
        idx = range(first, min(m, first + 16))
        block = np.empty((n, len(idx)))
        for k, i in enumerate(idx):
            heard = np.zeros(len(f), complex)
            for (x, y, z), s in spectra:
                r = np.sqrt((positions[i][0] - x) ** 2 + (positions[i][1] - y) ** 2 + (positions[i][2] - z) ** 2)
                heard += s * np.exp(-2j * np.pi * f * r / c) / r
            v = np.fft.irfft(heard, n) + noise * rng.standard_normal(n)
            kind = kinds.get(i)
            if kind == "dead":
                v[:] = 0
            elif kind == "reversed":
                v = -v
            elif kind == "clipped":
                v = np.clip(v * 8, -0.3 * np.max(np.abs(v)), 0.3 * np.max(np.abs(v)))
            elif kind == "noisy":
                v = v + 10 * np.std(v) * rng.standard_normal(n)
            block[:, k] = v
        out[:, 1 + first:1 + first + len(idx)] = np.round(block * FULL).astype(np.int32)
    out.flush()
    with open(base + ".dat", "wb") as fd:
        for a in range(0, n, 65536):
            fd.write(np.ascontiguousarray(out[a:a + 65536]).tobytes())
    del out
    import os
    os.remove(base + ".npy")
    vlx = bytearray(2097)
    struct.pack_into("<8H", vlx, 0, 2024, 5, 3, 15, 10, 0, 0, 0)
    vlx[16:16 + m] = b"\x01" * m
    vlx[1056] = 1
    struct.pack_into("<fIfB", vlx, 1060, FREQ, n, np.float32(n) / np.float32(FREQ), 0)
    vlx[1073:] = b" " * 1024
    with open(base + ".Vlx", "wb") as fd:
        fd.write(vlx)
    return n * words * 4


def steering(positions, points, k):
    """Formulation III: h = g / |g|^2, g_m = (r0 / r_m) exp(-i k (r_m - r0)); (points, mics)."""
    centre = positions.mean(axis=0)
    r = np.linalg.norm(points[:, None, :] - positions[None, :, :], axis=2)
    r0 = np.linalg.norm(points - centre, axis=1)[:, None]
    g = (r0 / r) * np.exp(-1j * k * (r - r0))
    norm = np.sum(np.abs(g) ** 2, axis=1, keepdims=True)
    return g / norm, np.sum(np.abs(g) ** 4, axis=1) / norm[:, 0] ** 2


def numpy_map(base, positions, f1, f2, grid, block=1024, c=343.0, remove_diagonal=True, first=0, count=None):
    """The map (ny, nx) of mean squares at the array centre, and the axes x, y."""
    m = len(positions)
    data = np.memmap(base + ".dat", dtype="<i4", mode="r").reshape(-1, m + 1)
    if count is None:
        count = len(data) - first
    x0, x1, dx, y0, y1, dy, z = grid
    xs = x0 + dx * np.arange(int(np.floor((x1 - x0) / dx + 1e-9)) + 1)
    ys = y0 + dy * np.arange(int(np.floor((y1 - y0) / dy + 1e-9)) + 1)
    gx, gy = np.meshgrid(xs, ys)
    points = np.stack([gx.ravel(), gy.ravel(), np.full(gx.size, z)], axis=1)
    window = 0.5 - 0.5 * np.cos(2 * np.pi * np.arange(block) / block)
    freqs = np.fft.rfftfreq(block, 1 / FREQ)
    bins = [b for b in range(1, block // 2) if f1 <= freqs[b] <= f2]
    csm = np.zeros((len(bins), m, m), complex)
    blocks = 0
    for start in range(first, first + count - block + 1, block // 2):
        x = data[start:start + block, 1:] / FULL
        spectra = np.fft.rfft(window[:, None] * x, axis=0)[bins]
        csm += spectra[:, :, None] * spectra[:, None, :].conj()
        blocks += 1
    csm *= 2.0 / (block * np.sum(window ** 2)) / blocks
    power = np.zeros(len(points))
    for b, cb in zip(bins, csm):
        h, diag_weight = steering(positions, points, 2 * np.pi * freqs[b] / c)
        if remove_diagonal:
            cb = cb - np.diag(np.diag(cb))
        v = np.einsum("pi,ij,pj->p", h.conj(), cb, h).real
        power += v / (1 - diag_weight) if remove_diagonal else v
    return power.reshape(len(ys), len(xs)), xs, ys
