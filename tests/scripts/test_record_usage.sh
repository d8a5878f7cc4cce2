#!/usr/bin/env bash
# The viz256-record program itself on bad usage: one line on stderr, status 2, no file; --help
# on stdout, status 0. (What it sends to a recorder is checked in-process, tests/e2e/record_test.cpp.)
#   $1  the build's binary folder      $2  the tests source folder (unused)
set -uo pipefail
record="$1/viz256-record"
[ -x "$record" ] || { echo "missing $record" >&2; exit 1; }
d="$(mktemp -d)"
trap 'rm -rf "$d"' EXIT
fautes=0
refuse() { # expected line start, then the arguments
    local attendu="$1"; shift
    "$record" "$@" >"$d/.out" 2>"$d/.err"
    local code=$?
    if [ "$code" != 2 ] || [ "$(wc -l <"$d/.err")" != 1 ] || [ -s "$d/.out" ] ||
       [[ "$(cat "$d/.err")" != "viz256-record: $attendu"* ]] || [ -n "$(ls -A "$d" | grep -v '^\.out$\|^\.err$')" ]; then
        echo "viz256-record $*: status $code, stderr: $(cat "$d/.err"), files: $(ls -A "$d" | tr '\n' ' ')" >&2
        fautes=$((fautes + 1))
    fi
}
refuse "--frequency 3: not one of" --out "$d/run.dat" --frequency 3
refuse "--out FILE.dat or --no-record is needed" --duration 2
refuse "unknown option --bogus" --no-record --bogus
"$record" --help >"$d/.out" 2>"$d/.err" && grep -q '^usage: viz256-record ' "$d/.out" && [ ! -s "$d/.err" ] ||
    { echo "viz256-record --help: $(cat "$d/.err")" >&2; fautes=$((fautes + 1)); }
[ "$fautes" = 0 ]
