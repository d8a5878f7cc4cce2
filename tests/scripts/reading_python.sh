#!/usr/bin/env bash
# Independent readers of recorded runs and of their exports: the end-to-end tests record runs
# through the window (kept in a folder), viz256-run checks and exports them, and PyTables,
# h5py, soundfile and the viz256 Python package read them back against the raw .dat words.
#   $1  the build's binary folder   $2  the tests source folder   $3...  the tests' launcher
set -euo pipefail

build="$1"
source_tests="$2"
shift 2
sortie="$(mktemp -d)"
trap 'rm -rf "$sortie"' EXIT

VIZ256_RUNS_OUT="$sortie" QT_QPA_PLATFORM=offscreen \
    "$@" "$build/tests/viz256_e2e_tests" --gtest_filter='Relecture.*:-Relecture.Cut*' >"$sortie/gtest.txt" 2>&1 \
    || { cat "$sortie/gtest.txt" >&2; exit 1; }

PYTHONPATH="$source_tests/../python" /usr/bin/python3 - "$build/viz256-run" "$sortie" <<'PY'
import json, os, re, signal, subprocess, sys
import numpy as np
import h5py, soundfile, tables
import viz256

outil, dossier = sys.argv[1], sys.argv[2]
fautes = []
def verifie(cond, quoi):
    if not cond:
        fautes.append(quoi)
        print("FAILED:", quoi)

def lance(*args, octets=False):
    try:
        p = subprocess.run([outil, *args], capture_output=True, timeout=20)
    except subprocess.TimeoutExpired:
        return -1, b"timed out" if octets else "timed out"
    return p.returncode, p.stdout + p.stderr if octets else (p.stdout + p.stderr).decode(errors="replace")

for nom in ("a_int32", "b_float", "c_sans_compteur", "d_saut"):
    dat = os.path.join(dossier, nom + ".dat")
    run = viz256.open(os.path.join(dossier, nom + ".log"))
    rc, texte = lance("info", dat, "--json")
    info = json.loads(texte)
    # The Python package and the C++ reader agree on everything they say.
    verifie(info["channels"] == run.channel_names, f"{nom}: channels {info['channels']} / {run.channel_names}")
    verifie(info["frames"] == run.frames and info["sample_freq"] == run.sample_freq
            and info["sample_type"] == run.sample_type, f"{nom}: frames, frequency or type")
    verifie(info["date"].startswith(run.date.strftime("%Y-%m-%dT%H:%M:%S")), f"{nom}: date")
    verifie(info["problems"] == [], f"{nom}: problems {info['problems']}")

    # The raw words, read independently, and the package's views of them (no copy).
    mots = np.fromfile(dat, dtype=run.dtype)[: run.frames * run.nb_voies].reshape(run.frames, run.nb_voies)
    u32 = mots.view("<u4")
    noms = run.channel_names
    mic = [i for i, n in enumerate(noms) if n.startswith("mic_")]
    va = [i for i, n in enumerate(noms) if n.startswith("va_")]
    verifie(isinstance(run.microphones(), np.memmap) and np.shares_memory(run.microphones(), run.data()),
            f"{nom}: microphones() is no view of the file")
    verifie(np.array_equal(run.microphones(), mots[:, mic]), f"{nom}: microphones()")
    verifie(np.array_equal(run.analog(), mots[:, va]), f"{nom}: analog()")
    if run.has_counter:
        verifie(np.array_equal(run.counter(), u32[:, 0]), f"{nom}: counter()")
    if run.has_status:
        verifie(np.array_equal(run.status(), u32[:, noms.index("status")]), f"{nom}: status()")

    rc, texte = lance("check", dat)
    if nom == "d_saut":
        verifie(rc == 1 and "counter gap: frame 20000: 1000 frames missing" in texte, f"{nom}: check said {rc} {texte}")
    elif nom == "c_sans_compteur":
        verifie(rc == 0 and "continuity of the frames cannot be checked" in texte, f"{nom}: check said {rc} {texte}")
    else:
        verifie(rc == 0 and "clean" in texte, f"{nom}: check said {rc} {texte}")

    # Exports (the e2e test made .h5 of every channel and .wav of the microphones and analogue
    # channels): /time_data the microphones only, the others in datasets of their own.
    choisis = mic + va
    if nom in ("a_int32", "b_float"):
        h5 = os.path.join(dossier, nom + ".h5")
        with tables.open_file(h5) as f:
            td = f.root.time_data
            verifie(td.shape == (run.frames, len(mic)) and td.dtype == np.float32, f"{nom}: PyTables shape")
            verifie(np.array_equal(td[:], mots[:, mic].astype(np.float32)), f"{nom}: PyTables samples")
            verifie(td.get_attr("sample_freq") == run.sample_freq, f"{nom}: sample_freq")
            verifie([n.decode() for n in td.get_attr("channel_names")] == [noms[i] for i in mic],
                    f"{nom}: channel_names")
            verifie(td.chunkshape[1] == len(mic), f"{nom}: chunked along time")
        with h5py.File(h5, "r") as f:
            verifie(np.array_equal(f["time_data"][:], mots[:, mic].astype(np.float32)), f"{nom}: h5py samples")
            verifie(f["time_data"].attrs["sample_freq"].dtype == np.float64, f"{nom}: sample_freq float64")
            verifie(("analog" in f) == bool(va) and (not va or np.array_equal(f["analog"][:], mots[:, va].astype(np.float32))),
                    f"{nom}: /analog")
            for ds, vue in (("counter", run.counter()), ("status", run.status())):
                verifie((ds in f) == (vue is not None) and (vue is None or (f[ds].dtype == np.uint32 and
                        np.array_equal(f[ds][:], vue))), f"{nom}: /{ds}")
        donnees, taux = soundfile.read(os.path.join(dossier, nom + ".wav"), dtype=run.sample_type, always_2d=True)
        verifie(taux == int(run.sample_freq) and np.array_equal(donnees, mots[:, choisis]), f"{nom}: WAV samples")

    if nom == "a_int32":
        # Raw integers, a chosen part of the run and the counter asked for.
        cible = os.path.join(dossier, "partie.h5")
        rc, texte = lance("export", dat, "--to", cible, "--type", "int32", "--channels", "counter,mic_1_2,mic_0_0",
                          "--start", "0.1", "--duration", "0.2")
        verifie(rc == 0, f"export int32: {texte}")
        with h5py.File(cible, "r") as f:
            td = f["time_data"]
            verifie(td.dtype == np.int32 and np.array_equal(td[:], mots[5000:15000, [1, 11]].astype(np.int32))
                    and np.array_equal(f["counter"][:], u32[5000:15000, 0]), "int32 export of a part")
            verifie(td.attrs["first_frame"] == 5000, "first_frame")
        rc, texte = lance("export", dat, "--to", os.path.join(dossier, "x.wav"), "--channels", "va")
        verifie(rc == 2 and 'no channel "va"' in texte and not os.path.exists(os.path.join(dossier, "x.wav")),
                f"export of a channel the run lacks: {rc} {texte}")
    if nom == "d_saut":
        cible = os.path.join(dossier, "saut.wav")
        rc, texte = lance("export", dat, "--to", cible)
        verifie(rc == 0 and "counter gap: frame 20000: 1000 frames missing" in texte, f"gap not reported: {texte}")
        d, _ = soundfile.read(cible, dtype="int32", always_2d=True)
        verifie(np.array_equal(d, mots[:, mic]), "WAV of the run with a gap")

# Hostile files: both readers say the same (the same description in force, or both refuse with
# exit 2 / RunError and nothing else), at once: never waiting on a FIFO, nor on a number of
# 900 000 digits.
src = {e: open(os.path.join(dossier, "a_int32" + e), "rb").read() for e in (".dat", ".Vlx", ".log")}
def entete(**champs):
    h = np.frombuffer(src[".Vlx"], viz256.HEADER_DTYPE).copy()
    for k, v in champs.items():
        if k == "date":
            h["date_heure"][0][[0, 1, 3]] = v
        else:
            h[k] = v
    return h.tobytes()
def log(avant, apres):
    return re.sub(avant.encode(), apres.encode(), src[".log"], count=1)
u32 = np.frombuffer(src[".dat"], "<u4").reshape(-1, 17).copy()
u32[:, 0] = 2**24 + 1 + np.arange(len(u32), dtype=np.uint32)  # the counter past float32's exact integers
cas = {"fifo_vlx": ({".Vlx": "fifo"}, "log"), "dossier_vlx": ({".Vlx": "dir"}, "log"),
       "boucle_vlx": ({".Vlx": "loop"}, "log"), "dossier_log": ({".log": "dir"}, "header"),
       "fifo_dat": ({".dat": "fifo"}, None), "nb_ech_5000": ({".log": log("Nb_ech = 25000", "Nb_ech = " + "9" * 5000)}, "header"),
       "duree_400": ({".log": log("Duree = 0,5", "Duree = " + "9" * 400 + ",0")}, "header"),
       "freq_900k": ({".log": log("Freq = 50000", "Freq = " + "5" * 900000)}, "header"),
       "an_10000": ({".Vlx": entete(date=(10000, 1, 1))}, "header"), "freq_1e-30": ({".Vlx": entete(freq=1e-30)}, "log"),
       "29_fevrier": ({".Vlx": entete(date=(2100, 2, 29)), ".log": log(r"Date = \S+", "Date = 29/02/1900")}, None),
       "bom": ({".Vlx": "absent", ".log": b"\xef\xbb\xbf" + src[".log"]}, "log"),
       "derriere": ({".Vlx": entete(nb_ech=100)}, "header"), "partielle": ({".dat": src[".dat"] + b"123456"}, "header"),
       "compteur_2_24": ({".dat": u32.tobytes()}, "header"), "nom_\udcff": ({}, "header")}
hostile = os.path.join(dossier, "hostile")
os.mkdir(hostile)
def alarme(*_):
    raise TimeoutError
signal.signal(signal.SIGALRM, alarme)
for nom, (fichiers, attendu) in cas.items():
    base = os.path.join(hostile, nom)
    for e in (".dat", ".Vlx", ".log"):
        v, p = fichiers.get(e, src[e]), base + e
        {"fifo": os.mkfifo, "dir": os.mkdir, "loop": lambda p: os.symlink(p, p), "absent": lambda p: None}.get(
            v, lambda p: open(p, "wb").write(v))(p)
    rc, texte = lance("info", base + ".dat", "--json", octets=True)
    try:
        signal.alarm(20)
        run = viz256.open(base + ".dat")
        par = "log" if run.header is None else "header"
    except viz256.RunError:
        run, par = None, None
    except Exception as e:
        run, par = None, f"{type(e).__name__} {e}"[:100]
    finally:
        signal.alarm(0)
    try:
        info = json.loads(texte) if rc == 0 else {"described_by": None, "frames": None}
    except ValueError as e:
        info = {"described_by": f"invalid JSON: {e}"}
    verifie(rc in (0, 2) and info["described_by"] == par == attendu and (run is None or info["frames"] == run.frames == 25000),
            f"hostile {nom!r}: viz256-run {rc} {info.get('described_by')}, viz256 {par}, expected {attendu}")
    rc, texte = lance("check", base + ".dat")
    if nom in ("derriere", "partielle"):  # behind: repair brings it back; a partial frame alone is clean
        verifie(rc == (1 if nom == "derriere" else 0) and ("behind" in texte) == (nom == "derriere"), f"check {nom}: {texte}")
    if nom == "dossier_vlx":  # nothing said changed that was not
        rc, texte = lance("repair", base + ".dat")
        verifie(rc == 2 and "changed" not in texte and "cannot write" in texte, f"repair {nom}: {rc} {texte}")
    if nom == "compteur_2_24":
        rc, texte = lance("export", base + ".dat", "--to", base + ".h5")
        with h5py.File(base + ".h5", "r") as f:
            verifie("counter" in f and np.array_equal(f["counter"][:], u32[:, 0]), "/counter exact past 2^24")

# The log's numbers in any locale, the comment from Windows-1252.
for texte, valeur in (("1\u202f000,0", 1000.0), ("12,345.6", 12345.6), ("1'234.5", 1234.5),
                      ("\u0661\u066c\u0662\u0663\u0664\u066b\u0665", 1234.5)):
    verifie(abs(viz256.parse_number(texte, 1) - valeur) < 1e-9, f"Duree {texte!r}")
for faux in ("nan", "-1,0", "1,00", "1,,0"):
    try:
        viz256.parse_number(faux, 1)
        verifie(False, f"Duree {faux!r} accepted")
    except viz256.RunError:
        pass
entete = bytearray(open(os.path.join(dossier, "a_int32.Vlx"), "rb").read())
texte = "Essai à 20 € \u2014 \u0153uvre".encode("cp1252")
entete[1073:] = texte + b" " * (1023 - len(texte)) + b"\0"
verifie(viz256.parse_header(bytes(entete))["comment"].rstrip() == "Essai à 20 € \u2014 \u0153uvre", "cp1252 comment")

if fautes:
    sys.exit(1)
print("runs read back by viz256-run, PyTables, h5py, soundfile and viz256: OK")
PY
