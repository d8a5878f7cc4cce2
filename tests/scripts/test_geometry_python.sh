#!/usr/bin/env bash
# The array geometry read by Python (viz256.geometry) and by viz256-run: the demo layout as an
# (N, 3) array, and each layout that does not fit refused by both with the same "FILE:LINE: reason".
#   $1  the build's binary folder   $2  the tests source folder
set -euo pipefail
dossier="$(mktemp -d)"
trap 'rm -rf "$dossier"' EXIT
PYTHONPATH="$2/../python" /usr/bin/python3 - "$1/viz256-run" "$2/../arrays/viz256_spiral.xml" "$dossier" <<'PY'
import subprocess, sys
import numpy as np
import viz256

tool, demo, d = sys.argv[1:4]
p = viz256.geometry(demo)
assert p.shape == (256, 3) and np.all(p[:, 2] == 0), p.shape
assert 0.9 <= np.ptp(p[:, 0]) <= 1.1, np.ptp(p[:, 0])

head = '<?xml version="1.0"?>\n<MicArray name="t">\n  <pos Name="Point 1" x="0.1" y="0" z="0"/>\n'
cases = {"missing coordinate": head + '  <pos Name="Point 2" x="0.1" y="0"/>\n</MicArray>\n',
         "no number": head + '  <pos x="0" y="east" z="0"/>\n</MicArray>\n',
         "not XML": "x,y,z\n0.1,0,0\n",
         "cut short": head,
         "no position": '<MicArray name="t">\n\n</MicArray>\n',
         "absurd coordinate": head + '  <pos x="1e308" y="0" z="0"/>\n</MicArray>\n',
         "past the largest number": head + '  <pos x="0" y="0" z="1e309"/>\n</MicArray>\n',
         "duplicate position": head + '  <pos x="0.2" y="0" z="0"/>\n  <pos x="0.1" y="0" z="0"/>\n</MicArray>\n',
         "millimetres": head + '  <pos x="350" y="-120" z="0"/>\n  <pos x="-420" y="80" z="0"/>\n</MicArray>\n'}
for what, text in cases.items():
    path = f"{d}/{what.replace(' ', '_')}.xml"
    open(path, "w").write(text)
    try:
        viz256.geometry(path)
        sys.exit(f"{what}: accepted by Python")
    except viz256.GeometryError as e:
        python = str(e)
    r = subprocess.run([tool, "health", f"{d}/none.dat", "--geometry", path], capture_output=True, text=True)
    assert r.returncode == 2, (what, r.returncode, r.stderr)
    same = python.split(" (XML: ")[0]   # the XML parsers word their errors each their own way
    assert r.stderr.startswith(f"viz256-run: {same}"), (what, python, r.stderr)
    print(f"{what}: {python}")
PY
