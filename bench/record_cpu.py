#!/usr/bin/env python3
"""CPU of viz256-record runs, one per emulated recorder, all at once.

Run inside the emulator (bench/record.sh does it):

    viz256-emulator --recorders N -- python3 bench/record_cpu.py BIN_DIR FOLDER|- SECONDS N

BIN_DIR holds viz256-record and viz256-run. Each recorder found by `viz256-record --list --json`
(the first N) gets `viz256-record --device PORT --frequency 50000 --channels mics,counter --duration
SECONDS --json` and `--out FOLDER/bench_recordK.dat` (or `--no-record` with -), started
together. Per process: the CPU of all its threads (user + system) from the start to its exit
(the kernel's count for the waited child, threads ended on the way included) and over the
stream alone (from its first "streaming" line to its summary, read in /proc/PID/stat), the
frames asked for and kept, the counter gaps and its exit status; a recorded run is then
checked by `viz256-run check`, and its files deleted. Prints "key value" lines.
"""
import json
import os
import selectors
import subprocess
import sys
import time

FRAME = 257 * 4


def cpu_ticks(pid):
    """utime + stime of the whole process (every thread), in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        champs = f.read().rsplit(")", 1)[1].split()
    return (int(champs[11]) + int(champs[12])) / os.sysconf("SC_CLK_TCK")


def main():
    bin_dir, folder, seconds, n = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
    record = os.path.join(bin_dir, "viz256-record")
    liste = json.loads(subprocess.run([record, "--list", "--json"], check=True, capture_output=True, text=True).stdout)
    if len(liste) < n:
        sys.exit(f"record_cpu.py: {len(liste)} recorder(s) on the bus, {n} wanted")
    runs = []
    for k, r in enumerate(liste[:n]):
        sortie = ["--no-record"] if folder == "-" else ["--out", os.path.join(folder, f"bench_record{k}.dat"), "--force"]
        cmd = [record, "--device", r["port"], "--frequency", "50000", "--channels", "mics,counter",
               "--duration", f"{seconds:g}", "--json"] + sortie
        p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        runs.append({"p": p, "port": r["port"], "dat": None if folder == "-" else sortie[1], "reste": "",
                     "debut": None, "fin": None, "bilan": None, "err": ""})
    sel = selectors.DefaultSelector()
    for r in runs:
        sel.register(r["p"].stdout, selectors.EVENT_READ, r)
        os.set_blocking(r["p"].stdout.fileno(), False)
    ouverts = len(runs)
    while ouverts:
        for cle, _ in sel.select():
            r = cle.data
            bloc = r["p"].stdout.read()
            if not bloc:
                sel.unregister(cle.fileobj)
                ouverts -= 1
                continue
            r["reste"] += bloc
            *lignes, r["reste"] = r["reste"].split("\n")
            for l in lignes:
                o = json.loads(l)
                maintenant = time.monotonic()
                if o.get("state") == "streaming" and r["debut"] is None:  # event lines have no state
                    r["debut"] = (maintenant, cpu_ticks(r["p"].pid))
                elif o.get("state") == "ended":
                    r["fin"] = (maintenant, cpu_ticks(r["p"].pid))
                    r["bilan"] = o
    for k, r in enumerate(runs):
        _, statut, usage = os.wait4(r["p"].pid, 0)
        r["err"] = r["p"].stderr.read()
        code = os.waitstatus_to_exitcode(statut)
        b = r["bilan"] or {}
        print(f"record{k}_status {code}")
        print(f"record{k}_cpu_total_s {usage.ru_utime + usage.ru_stime:.3f}")
        if r["debut"] and r["fin"]:
            duree = r["fin"][0] - r["debut"][0]
            print(f"record{k}_stream_s {duree:.3f}")
            print(f"record{k}_cpu_stream_pct {100 * (r['fin'][1] - r['debut'][1]) / duree:.3f}")
        print(f"record{k}_frames_asked {b.get('bytes_requested', 0) // FRAME}")
        print(f"record{k}_frames_kept {b.get('frames', 0)}")
        print(f"record{k}_counter_gaps {b.get('counter_gaps', -1)}")
        print(f"record{k}_peak_rss_mb {usage.ru_maxrss / 1024:.1f}")
        if code != 0:
            sys.stderr.write(f"record_cpu.py: {r['port']}: status {code}\n{r['err']}")
        if r["dat"]:
            c = subprocess.run([os.path.join(bin_dir, "viz256-run"), "check", r["dat"]], capture_output=True, text=True)
            print(f"record{k}_check {c.returncode}")
            base = r["dat"][:-4]
            for ext in (".dat", ".Vlx", ".log"):
                try:
                    os.remove(base + ext)
                except FileNotFoundError:
                    pass


if __name__ == "__main__":
    main()
