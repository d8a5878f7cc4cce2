#!/usr/bin/env python3
"""viz256-view attached live to viz256-record at the peak (50 kHz, counter + 256 microphones),
the map of the third octave about 2 kHz on 41 x 41 points, a 1 s window.

Run inside the emulator (bench/live_map.sh does it):

    viz256-emulator -- python3 bench/live_map_view.py BIN_DIR FOLDER SECONDS

viz256-record records FOLDER/live.dat. Once it streams: SECONDS with no viewer (its CPU), then
viz256-view attached for SECONDS + 3 s, of which SECONDS are measured from 2 s after its start
(the recorder's CPU and the viewer's, all threads, from /proc/PID/stat). The viewer prints the
maps it painted of distinct windows of frames (a tap block is mapped in slices, each its own
window) and the time from each slice's block completion to its map on the screen. Then
`viz256-run check` of the run, whose files are deleted. Load average at each step. Prints
"key value" lines.
"""
import json
import os
import re
import subprocess
import sys
import threading
import time

TICK = os.sysconf("SC_CLK_TCK")


def cpu(pid):
    """utime + stime of the whole process (every thread), in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    bin_dir, folder, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    dat = os.path.join(folder, "live.dat")
    total = 1 + seconds + 2 + seconds + 3 + 2
    rec = subprocess.Popen([os.path.join(bin_dir, "viz256-record"), "--frequency", "50000", "--channels", "mics,counter",
                            "--duration", f"{total:.1f}", "--json", "--out", dat, "--force"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    streaming, summary = threading.Event(), {}

    def watch():
        for line in rec.stdout:
            o = json.loads(line)
            if o.get("state") == "streaming":
                streaming.set()
            elif o.get("state") == "ended":
                summary.update(o)
        streaming.set()

    threading.Thread(target=watch, daemon=True).start()
    if not streaming.wait(60) or rec.poll() is not None:
        sys.exit(f"live_map_view.py: viz256-record did not stream: {rec.stderr.read()}")
    time.sleep(1)
    print(f"load_alone_start {load()}")
    t0, c0 = time.monotonic(), cpu(rec.pid)
    time.sleep(seconds)
    print(f"record_cpu_alone_pct {100 * (cpu(rec.pid) - c0) / (time.monotonic() - t0):.2f}")
    print(f"load_alone_end {load()}")

    view = subprocess.Popen([os.path.join(bin_dir, "viz256-view"), "--band", "1782:2245", "--window", "1",
                             "--save-after", f"{seconds + 3:g}", "--to", os.path.join(folder, "live_view.png")],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(2)
    print(f"load_view_start {load()}")
    t0, r0, v0 = time.monotonic(), cpu(rec.pid), cpu(view.pid)
    time.sleep(seconds)
    t1, r1, v1 = time.monotonic(), cpu(rec.pid), cpu(view.pid)
    print(f"record_cpu_viewed_pct {100 * (r1 - r0) / (t1 - t0):.2f}")
    print(f"view_cpu_pct {100 * (v1 - v0) / (t1 - t0):.2f}")
    print(f"load_view_end {load()}")
    out, err = view.communicate(timeout=60)
    m = re.search(r"maps shown: (\d+) in ([\d.]+) s; arrival to map: median (\d+) ms, 99th percentile (\d+) ms \((\d+) maps", out)
    if view.returncode != 0 or not m:
        sys.exit(f"live_map_view.py: viz256-view: status {view.returncode}\n{out}{err}")
    # Maps of distinct windows of frames, over the time they were counted (the first second after
    # the first map is not).
    print(f"view_maps_per_s {int(m.group(5)) / (float(m.group(2)) - 1):.2f}")
    print(f"view_latency_median_ms {m.group(3)}")
    print(f"view_latency_p99_ms {m.group(4)}")
    g = re.search(r"missed (\d+) frames", out)
    print(f"view_missed_frames {g.group(1) if g else 'unknown'}")
    rec.wait()
    print(f"record_status {rec.returncode}")
    print(f"record_counter_gaps {summary.get('counter_gaps', -1)}")
    c = subprocess.run([os.path.join(bin_dir, "viz256-run"), "check", dat], capture_output=True, text=True)
    print(f"record_check {c.returncode}")
    for ext in (".dat", ".Vlx", ".log"):
        try:
            os.remove(dat[:-4] + ext)
        except FileNotFoundError:
            pass
    return 0 if rec.returncode == 0 and c.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
