#!/bin/bash
# The window started where there is no display: one line that says so and a status of its own
# (3), not the toolkit's abort.
set -u
sortie=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$1/viz256" 2>&1)
status=$?
[ "$status" -eq 3 ] || { echo "status $status, expected 3: $sortie"; exit 1; }
[ "$(printf '%s\n' "$sortie" | wc -l)" -eq 1 ] || { echo "more than one line: $sortie"; exit 1; }
case "$sortie" in
"viz256: no display found"*) ;;
*) echo "unexpected: $sortie"; exit 1 ;;
esac
echo "no display: one line, status 3"
