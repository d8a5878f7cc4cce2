#!/usr/bin/env python3
"""Draws the program's own pictures: the window icon and the two logos.

Plain Python (zlib only), so the PNG files can be regenerated anywhere:
    python3 resources/make_images.py
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def png(path, width, height, pixel):
    """Writes an RGBA PNG; pixel(x, y) returns (r, g, b, a) with 0..255 components."""
    raw = bytearray()
    for y in range(height):
        raw.append(0)
        for x in range(width):
            raw.extend(bytes(int(max(0, min(255, c))) for c in pixel(x, y)))

    def chunk(kind, data):
        c = struct.pack(">I", len(data)) + kind + data
        return c + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    data = b"\x89PNG\r\n\x1a\n"
    data += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    data += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    data += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(data)


def jet(i):
    """The level colour scale, index 0..127 (the same ramps as the live level display)."""
    r = v = b = 0
    if i <= 14:
        b = 143 + 8 * i
    elif i <= 45:
        v, b = 8 * (i - 14), 255
    elif i == 46:
        v, b = 255, 255
    elif i <= 77:
        r, v, b = 8 * (i - 46), 255, 255 - 8 * (i - 46)
    elif i == 78:
        r, v = 255, 255
    elif i <= 109:
        r, v = 255, 255 - 8 * (i - 78)
    elif i == 110:
        r = 255
    else:
        r = 255 - 8 * (i - 110)
    return r, v, b


def disc(x, y, cx, cy, rad):
    """Coverage (0..1) of a pixel by a disc, with a one-pixel soft edge."""
    d = math.hypot(x + 0.5 - cx, y + 0.5 - cy)
    return max(0.0, min(1.0, rad - d + 0.5))


def mix(a, b, t):
    return tuple(a[k] * (1 - t) + b[k] * t for k in range(len(a)))


def icon(x, y):
    # A 4 x 4 array of microphones on a dark rounded square, coloured by level.
    n = 64
    bg = (0, 0, 0, 0)
    corner = 10
    cx = min(max(x + 0.5, corner), n - corner)
    cy = min(max(y + 0.5, corner), n - corner)
    inside = max(0.0, min(1.0, corner - math.hypot(x + 0.5 - cx, y + 0.5 - cy) + 0.5))
    col = mix(bg, (30, 40, 70, 255), inside)
    for row in range(4):
        for c in range(4):
            px, py = 12 + 13.3 * c, 12 + 13.3 * row
            t = disc(x, y, px, py, 5.0)
            if t > 0:
                r, v, b = jet((row * 4 + c) * 8 + 4)
                col = mix(col, (r, v, b, 255), t)
    return col


def oruvel(x, y):
    # Wide logo: a blue band with a row of eight microphones and a level ramp below.
    w, h = 173, 58
    col = (255, 255, 255, 255)
    if 4 <= y < h - 4:
        col = (22, 52, 110, 255)
    for m in range(8):
        t = disc(x, y, 18 + m * 20, 22, 6.5)
        if t > 0:
            col = mix(col, (240, 240, 240, 255), t)
        t = disc(x, y, 18 + m * 20, 22, 3.0)
        if t > 0:
            col = mix(col, (22, 52, 110, 255), t)
    if 38 <= y < 48 and 10 <= x < w - 10:
        i = int((x - 10) * 127 / (w - 21))
        r, v, b = jet(i)
        col = (r, v, b, 255)
    return col


def palumet(x, y):
    # Square logo: a microphone head with three sound arcs.
    col = (255, 255, 255, 255)
    cx, cy = 22.0, 33.5
    t = disc(x, y, cx, cy, 11.0)
    if t > 0:
        col = mix(col, (140, 20, 30, 255), t)
    d = math.hypot(x + 0.5 - cx, y + 0.5 - cy)
    ang = math.degrees(math.atan2(y + 0.5 - cy, x + 0.5 - cx))
    if -50 <= ang <= 50:
        for k, rad in enumerate((20.0, 30.0, 40.0)):
            t = max(0.0, 1.0 - abs(d - rad) / 2.2)
            if t > 0:
                col = mix(col, (140, 20, 30, 255), t * (1.0 - 0.25 * k))
    return col


if __name__ == "__main__":
    png(os.path.join(HERE, "viz256.png"), 64, 64, icon)
    png(os.path.join(HERE, "oruvel.png"), 173, 58, oruvel)
    png(os.path.join(HERE, "palumet.png"), 70, 67, palumet)
