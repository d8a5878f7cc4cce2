#!/usr/bin/env bash
# A scene heard by the whole chain: two incoherent noise sources of equal level and four faulty
# microphones, recorded (50 kHz, counter + 256 microphones) for 10 s of frames by viz256-emulated,
# unpaced so that a busy machine slows the run down but loses nothing; check finds the counter
# unbroken (no frame dropped), health exactly the faults, and map (a third octave at 4 kHz, on a
# grid wider than high) its peak within half the resolution 1.22 lambda z / D of a source, both
# sources as local maxima within 3 dB. Then faults written into a copy of the run with numpy
# (dropouts, a DC offset, noise of its own) are found too, and nothing else.
#    $1  the build's binary folder   $2  the tests source folder
set -euo pipefail

build="$1"
source_tests="$2"
dossier="$(mktemp -d)"
trap 'rm -rf "$dossier"' EXIT

cp "$source_tests/../arrays/viz256_spiral.xml" "$dossier/array.xml"
cat >"$dossier/scene.json" <<'EOF'
{"geometry": "array.xml", "speed_of_sound": 343.0, "noise_db": -60,
 "sources": [{"x": 0.1, "y": -0.2, "z": 1.0, "signal": "noise", "band": [300, 8000], "level_db": -30},
             {"x": -0.3, "y": 0.2, "z": 1.0, "signal": "noise", "band": [300, 8000], "level_db": -30}],
 "faults": [{"channel": 37, "kind": "dead"}, {"channel": 90, "kind": "clipped"},
            {"channel": 151, "kind": "reversed"}, {"channel": 200, "kind": "noisy"}]}
EOF

source "$source_tests/scripts/scene_run.sh"
record_scene "$build" "$dossier" 10
"$build/viz256-run" check "$dossier/run.dat"

status=0   # 1: faulty microphones
"$build/viz256-run" health "$dossier/run.dat" --geometry "$dossier/array.xml" --json >"$dossier/health.json" || status=$?
[ "$status" -eq 1 ]
"$build/viz256-run" map "$dossier/run.dat" --geometry "$dossier/array.xml" --band 3548:4467 \
    --grid -0.5:0.5:0.025,-0.4:0.4:0.025,1 --to "$dossier/map.h5" --json >"$dossier/map.json"

/usr/bin/python3 - "$dossier" <<'PY'
import json, sys, h5py, numpy as np

d = sys.argv[1]
scene, health = json.load(open(d + "/scene.json")), json.load(open(d + "/health.json"))
kinds = {"dead": "dead", "clipped": "clipping", "reversed": "reversed_polarity", "noisy": "incoherent"}
expected = {f["channel"]: kinds[f["kind"]] for f in scene["faults"]}
found = {f["channel"]: f["kind"] for f in health["faulty"]}
assert found == expected, f"health: {found}, expected {expected}"

with h5py.File(d + "/map.h5") as h5:
    m, x, y, positions = h5["map_db"][:], h5["x"][:], h5["y"][:], h5["positions"][:]   # m[iy, ix]
    lo, hi = h5.attrs["band_low"], h5.attrs["band_high"]
peak = json.load(open(d + "/map.json"))["peak"]
assert m.shape == (len(y), len(x)) == (33, 41), f"map_db is {m.shape}, x {len(x)}, y {len(y)}"
iy, ix = np.unravel_index(np.argmax(m), m.shape)
assert np.allclose((x[ix], y[iy]), (peak["x"], peak["y"]), atol=1e-9), f"the file's peak ({x[ix]}, {y[iy]}) is not the printed one {peak}"
D = max(np.linalg.norm(a - b) for a in positions for b in positions)
resolution = 1.22 * scene["speed_of_sound"] / np.sqrt(lo * hi) * 1.0 / D
sources = [np.array([s["x"], s["y"]]) for s in scene["sources"]]
miss = min(np.hypot(peak["x"] - s[0], peak["y"] - s[1]) for s in sources)
assert miss <= resolution / 2, f"peak ({peak['x']}, {peak['y']}) is {miss:.3f} m from the nearest source, more than {resolution / 2:.3f}"

# Local maxima of the map (greater than or equal to their 8 neighbours), nearest each source.
pad = np.pad(m, 1, constant_values=-np.inf)
neighbours = np.max([pad[1 + dy:1 + dy + m.shape[0], 1 + dx:1 + dx + m.shape[1]]
                     for dy in (-1, 0, 1) for dx in (-1, 0, 1) if dy or dx], axis=0)
maxima = [(x[ix], y[iy], m[iy, ix]) for iy, ix in zip(*np.nonzero(m >= neighbours))]
levels = []
for s in sources:
    near = [lv for mx, my, lv in maxima if np.hypot(mx - s[0], my - s[1]) <= resolution / 2]
    assert near, f"no local maximum within {resolution / 2:.3f} m of the source at {tuple(s)}"
    levels.append(max(near))
assert abs(levels[0] - levels[1]) <= 3, f"the two sources' maxima differ by {abs(levels[0] - levels[1]):.1f} dB"
print(f"faults found: {found}; peak {miss * 1000:.0f} mm from a source (half resolution {resolution * 500:.0f} mm); "
      f"source maxima {levels[0]:.1f} and {levels[1]:.1f} dB")
PY

# Faults written into a copy of the run: words are the counter, then channels 0..255.
for e in dat Vlx log; do cp "$dossier/run.$e" "$dossier/copy.$e"; done
/usr/bin/python3 - "$dossier/copy.dat" <<'PY'
import sys, numpy as np
words = np.memmap(sys.argv[1], dtype="<i4", mode="r+")
frames = words[:len(words) // 257 * 257].reshape(-1, 257)  # the whole frames (a run may end in a partial one)
rng = np.random.default_rng(3)
for start in range(0, len(frames) - 100, 5000):
    frames[start:start + 40, 1 + 10] = 0                          # dropouts: runs of 40 zeros
frames[:, 1 + 60] = frames[:, 1 + 60] + np.int32(0.2 * 2**31)     # a DC offset of a fifth of full scale
own = rng.normal(0, 3 * frames[:, 1 + 120].std(), len(frames))
frames[:, 1 + 120] = (frames[:, 1 + 120] * 0.3 + own).astype("<i4")  # noise of its own, at about its level
frames.flush()
PY
status=0
"$build/viz256-run" health "$dossier/copy.dat" --geometry "$dossier/array.xml" --json >"$dossier/copy.json" || status=$?
[ "$status" -eq 1 ]
/usr/bin/python3 - "$dossier" <<'PY'
import json, sys
d = sys.argv[1]
found = {f["channel"]: f["kind"] for f in json.load(open(d + "/copy.json"))["faulty"]}
expected = {37: "dead", 90: "clipping", 151: "reversed_polarity", 200: "incoherent", 10: "dropouts", 60: "dc_offset", 120: "incoherent"}
assert found == expected, f"health of the copy: {found}, expected {expected}"
print("faults written with numpy found:", {c: found[c] for c in (10, 60, 120)})
PY
