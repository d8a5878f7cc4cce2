#!/usr/bin/python3
"""Writes the demo geometry of the full array, viz256_spiral.xml: the 32 beams of 8
microphones laid out as 32 arms of a logarithmic spiral, 1 m across, in the plane z = 0.

Each beam is one arm; the microphones of an arm sit on radii that give each of them an equal
share of the aperture's area (from 4 cm to 50 cm), on the spiral theta = theta_b + ln(r / r0) /
tan(nu) with nu = 65 degrees; arm b starts at the angle 2 pi b / 32. Channel = 8 x beam +
microphone, microphone 0 innermost; "Point N" is channel N - 1.

    python3 arrays/make_spiral.py > arrays/viz256_spiral.xml
"""
import math

BEAMS, MICS = 32, 8
R0, R1 = 0.04, 0.50          # innermost and outermost radius, metres
NU = math.radians(65.0)      # angle between the arm and the radius

def positions():
    for b in range(BEAMS):
        start = 2 * math.pi * b / BEAMS
        for m in range(MICS):
            r = math.sqrt(R0 ** 2 + (R1 ** 2 - R0 ** 2) * m / (MICS - 1))
            theta = start + math.log(r / R0) / math.tan(NU)
            yield r * math.cos(theta), r * math.sin(theta)

def main():
    print('<?xml version="1.0" encoding="utf-8"?>')
    print('<MicArray name="viz256 spiral, 32 arms of 8, 1 m">')
    for n, (x, y) in enumerate(positions(), start=1):
        print(f'  <pos Name="Point {n}" x="{x:.6f}" y="{y:.6f}" z="0"/>')
    print('</MicArray>')

if __name__ == "__main__":
    main()
