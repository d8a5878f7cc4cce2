#!/usr/bin/env bash
# Independent reader of the header and log files: the unit test binary writes the example
# run through the window's own file routines, and Python's struct module reads it back.
#   $1  the build's binary folder      $2  the tests source folder (unused)
set -euo pipefail

binaire="$1/tests/viz256_unit_tests"
[ -x "$binaire" ] || { echo "missing $binaire" >&2; exit 1; }
sortie="$(mktemp -d)"
trap 'rm -rf "$sortie"' EXIT

VIZ256_EXAMPLE_OUT="$sortie" QT_QPA_PLATFORM=offscreen \
    "$binaire" --gtest_filter='RecordingExport.ExampleRunFiles' >"$sortie/gtest.txt" 2>&1 \
    || { cat "$sortie/gtest.txt" >&2; exit 1; }

python3 - "$sortie/exemple.Vlx" "$sortie/exemple.log" <<'PY'
import struct, sys

vlx = open(sys.argv[1], 'rb').read()
log = open(sys.argv[2], 'rb').read()
fautes = []
def verifie(cond, quoi):
    if not cond:
        fautes.append(quoi)

# Header record: 2097 bytes, packed, little-endian.
verifie(len(vlx) == 2097, 'header size %d' % len(vlx))
date = struct.unpack_from('<8H', vlx, 0)
verifie(date == (2022, 12, 3, 7, 14, 5, 9, 250), 'date %r' % (date,))
micros = struct.unpack_from('<1024b', vlx, 16)
verifie(micros[:16] == (1,) * 16 and micros[16:] == (0,) * 1008, 'microphone flags')
verifie(struct.unpack_from('<16b', vlx, 1040) == (0,) * 16, 'analogue flags')
verifie(struct.unpack_from('<4b', vlx, 1056) == (1, 0, 0, 0), 'counter flags')
freq, nb_ech, duree, type_float = struct.unpack_from('<fIfB', vlx, 1060)
verifie(freq == 50000.0, 'freq %r' % freq)
verifie(nb_ech == 250000, 'nb_ech %r' % nb_ech)
verifie(duree == 5.0, 'duree %r' % duree)
verifie(type_float == 1, 'type_float %r' % type_float)
verifie(vlx[1073:] == b' ' * 1024, 'comment field')

# Log: UTF-8 without BOM, CR LF line ends, sections carrying their own bare LFs.
verifie(not log.startswith(b'\xef\xbb\xbf'), 'BOM in log')
texte = log.decode('utf-8')
verifie(texte.startswith('[DEFAULT]\n\r\n[Date]\r\n'), 'log head')
verifie(texte.endswith('\n\n[OPTIONNAL]\r\n\r\n'), 'log tail')
lignes = texte.split('\r\n')
verifie('Date = 07/12/2022     ;jour mois année' in lignes, 'date line')
verifie('Heure = 14:05:09' in lignes, 'time line')
faisceaux = [l for l in lignes if l.startswith('Faisceau_')]
verifie([l[:12] for l in faisceaux] == ['Faisceau_%03d' % b for b in range(128)], 'beam lines')
verifie(all(l == 'Faisceau_%03d' % b + '  1' * 8 if b < 2 else l == 'Faisceau_%03d' % b + '  0' * 8
            for b, l in enumerate(faisceaux)), 'beam flags')
for attendu in ('Nb_faisceaux = 32', 'Nb_voies = 17', 'Nb_micros_actifs = 16',
                'Nb_voies_analogiques = 0', 'Nb_compteurs = 1', 'Compteurs =   1  0  0  0',
                'Freq = %d      ; (Hz)' % freq, 'Duree = 5,0       ; (s)',
                'Nb_ech = %d' % nb_ech, 'Type = float32'):
    verifie(attendu in lignes, 'log line %r' % attendu)
verifie(all('\n' not in l or l.lstrip('\n').startswith('[') for l in lignes), 'bare LF outside a title')

if fautes:
    print('FAILED: ' + '; '.join(fautes))
    sys.exit(1)
print('header and log read back: OK')
PY
