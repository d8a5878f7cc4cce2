#!/usr/bin/env bash
# Two emulated recorders playing one 512-position scene (the spiral and a copy of it 1.2 m to its
# right), started by one Trig1 edge, recorded by two viz256-record: health over both runs as one
# array finds no fault, map over both finds the source within half the resolution 1.22 lambda z / D
# of the whole aperture, and each half alone finds it too within half its own resolution. An HDF5
# export of some microphones says their channels, and with --geometry their positions, in the
# order of the columns.
#    $1  the build's binary folder   $2  the tests source folder
set -euo pipefail
build="$1"
dossier="$(mktemp -d)"
trap 'rm -rf "$dossier"' EXIT

/usr/bin/python3 - "$2/../arrays/viz256_spiral.xml" "$dossier" <<'PY'
import re, sys
spiral, d = sys.argv[1:3]
points = re.findall(r'x="([^"]+)" y="([^"]+)" z="([^"]+)"', open(spiral).read())
def layout(name, shifts):
    rows = [f'  <pos x="{float(x) + s:.6f}" y="{y}" z="{z}"/>' for s in shifts for x, y, z in points]
    open(f"{d}/{name}", "w").write('<MicArray name="two">\n' + "\n".join(rows) + "\n</MicArray>\n")
layout("array512.xml", [0.0, 1.2])
layout("first.xml", [0.0])
layout("second.xml", [1.2])
PY
cat >"$dossier/scene.json" <<'EOF2'
{"geometry": "array512.xml", "noise_db": -60,
 "sources": [{"x": 0.7, "y": 0.1, "z": 1.0, "signal": "noise", "band": [300, 8000], "level_db": -20}]}
EOF2

VIZ256_EMU_SCENE="$dossier/scene.json" "$build/viz256-emulator" --recorders 2 --unpaced --trigger-ms 4000 -- sh -c "
    '$build/viz256-record' --device 1-1 --start-trigger trig1 --duration 2 --out '$dossier/a.dat' 2>'$dossier/a.err' &
    # Both at the same instant, as a script starts them.
    '$build/viz256-record' --device 1-2 --start-trigger trig1 --duration 2 --out '$dossier/b.dat' 2>'$dossier/b.err' &
    wait %1 && wait %2" || { cat "$dossier"/*.err >&2; exit 1; }
"$build/viz256-run" check "$dossier/a.dat"
"$build/viz256-run" check "$dossier/b.dat"
"$build/viz256-run" health "$dossier/a.dat" "$dossier/b.dat" --geometry "$dossier/array512.xml" --json >"$dossier/health.json"
grid=-0.6:1.8:0.02,-0.6:0.6:0.02,1
"$build/viz256-run" map "$dossier/a.dat" "$dossier/b.dat" --geometry "$dossier/array512.xml" --band 1782:2245 \
    --grid $grid --json --to "$dossier/map.png" >"$dossier/both.json"
"$build/viz256-run" map "$dossier/a.dat" --geometry "$dossier/first.xml" --band 1782:2245 --grid $grid --json >"$dossier/a.json"
"$build/viz256-run" map "$dossier/b.dat" --geometry "$dossier/second.xml" --band 1782:2245 --grid $grid --json >"$dossier/b.json"
"$build/viz256-run" export "$dossier/b.dat" --channels 200,3,17 --to "$dossier/part.h5" >/dev/null
"$build/viz256-run" export "$dossier/b.dat" --channels 200,3,17 --to "$dossier/placed.h5" --geometry "$dossier/second.xml" >/dev/null
[ -z "${VIZ256_KEEP_MAP:-}" ] || cp "$dossier/map.png" "$VIZ256_KEEP_MAP"

/usr/bin/python3 - "$dossier" "$2/../python" <<'PY'
import json, sys, math
d = sys.argv[1]
health = json.load(open(d + "/health.json"))
assert len(health["microphones"]) == 512 and not health["faulty"], health["faulty"]
assert sorted(m["channel"] for m in health["microphones"]) == list(range(512))
import h5py, numpy as np
sys.path.insert(0, sys.argv[2])
import viz256
with h5py.File(d + "/part.h5") as part, h5py.File(d + "/placed.h5") as placed:
    assert list(part["time_data"].attrs["channels"]) == [3, 17, 200] and "positions" not in part
    assert list(placed["time_data"].attrs["channels"]) == [3, 17, 200]
    assert np.array_equal(placed["positions"][:], viz256.geometry(d + "/second.xml")[[3, 17, 200]]), placed["positions"][:]
source, f, c = (0.7, 0.1), math.sqrt(1782 * 2245), 343.0
for name, aperture in (("both", 2.2), ("a", 1.0), ("b", 1.0)):
    m = json.load(open(f"{d}/{name}.json"))
    half = 1.22 * c / f * 1.0 / aperture / 2
    miss = math.hypot(m["peak"]["x"] - source[0], m["peak"]["y"] - source[1])
    assert miss <= half, f"{name}: peak {m['peak']} is {miss:.3f} m from the source, more than {half:.3f}"
    print(f"{name}: {m['microphones_used']} microphones, peak {miss * 1000:.0f} mm from the source (half resolution {half * 1000:.0f} mm)")
PY
