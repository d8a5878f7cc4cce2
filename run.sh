#!/usr/bin/env bash
# Installs what is missing, builds incrementally and starts the program.
# With a recorder (fe27:ac01) on the USB bus it starts viz256 itself; otherwise it starts
# viz256-emulated, the same window attached to the emulated recorder.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
cmake -S . -B build >/dev/null
# viz256-run too: the README's "Reading a run back" uses it after ./run.sh.
cmake --build build -j"$(nproc)" --target viz256 viz256-emulated viz256-run

recorder_present() {
  local d
  for d in /sys/bus/usb/devices/*; do
    [ -f "$d/idVendor" ] || continue
    if [ "$(cat "$d/idVendor")" = "fe27" ] && [ "$(cat "$d/idProduct")" = "ac01" ]; then
      return 0
    fi
  done
  return 1
}

if recorder_present; then
  echo "run.sh: recorder fe27:ac01 found on the USB bus, starting viz256"
  exec build/viz256 "$@"
else
  echo "run.sh: no recorder on the USB bus, starting viz256-emulated (the emulated recorder)"
  exec umockdev-wrapper build/viz256-emulated "$@"
fi
