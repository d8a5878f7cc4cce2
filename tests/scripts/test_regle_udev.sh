#!/usr/bin/env bash
# The udev rule's usbfs command, run as udev would run it against a stand-in for the kernel's
# parameter: it raises a smaller cap to the program's value, never lowers a larger one and leaves
# 0 (no cap) alone; and `cmake --install` puts the rule where udev reads it.
#   $1  the build's binary folder      $2  the tests source folder
set -euo pipefail

build="$1"
source_dir="$(cd "$2/.." && pwd)"
regle="$source_dir/packaging/60-viz256.rules"
valeur="$(sed -n 's/.*LIMITE_REGLE_MO = \([0-9]*\);.*/\1/p' "$source_dir/device/usbfs.h")"
[ -n "$valeur" ] || { echo "LIMITE_REGLE_MO not found in device/usbfs.h" >&2; exit 1; }
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# udev writes a literal $ as $$; the program run is the part between the single quotes.
commande="$(sed -n "s/.*RUN+=\"\/bin\/sh -c '\(.*\)'\".*/\1/p" "$regle" | sed 's/\$\$/$/g')"
[ -n "$commande" ] || { echo "no RUN+= /bin/sh -c command in $regle" >&2; exit 1; }
commande="${commande//\/sys\/module\/usbcore\/parameters\/usbfs_memory_mb/$tmp/param}"
echec=0
for cas in "16 $valeur" "64 $valeur" "$((valeur - 1)) $valeur" "$valeur $valeur" "1000 1000" "0 0"; do
    set -- $cas
    echo "$1" >"$tmp/param"
    /bin/sh -c "$commande" || true
    obtenu="$(cat "$tmp/param")"
    if [ "$obtenu" != "$2" ]; then
        echo "cap $1: the rule left $obtenu, expected $2" >&2
        echec=1
    fi
done

cmake --install "$build" --prefix "$tmp/prefixe" >/dev/null
[ -f "$tmp/prefixe/lib/udev/rules.d/60-viz256.rules" ] || { echo "cmake --install did not install the rule" >&2; echec=1; }
exit $echec
