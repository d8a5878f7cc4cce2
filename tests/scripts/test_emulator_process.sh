#!/usr/bin/env bash
# viz256-emulator: a program it runs, in a process of its own, sees its recorders (port paths,
# serial numbers, a stream whose data cross the process boundary intact); it returns the
# program's status, passes SIGTERM on, refuses bad usage, and its testbed goes however it ends.
set -u
build=$1
emu=$build/viz256-emulator
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }

"$emu" --recorders 2 --unpaced -- "$build/tests/viz256_emulator_tests" --gtest_filter='AutreProcessus.*' >"$tmp/log" 2>&1; st=$?
check "a program of another process lists two recorders and streams from one" \
  '[ $st = 0 ] && grep -q "^\[  PASSED  \] 1 test" "$tmp/log"' || cat "$tmp/log"

for c in "exit 0:0" "exit 3:3" "exit 77:77" 'kill -KILL $$:137' "true --recorders:0"; do
  "$emu" --recorders 3 -- sh -c "${c%%:*}"; got=$?
  check "status of \"${c%%:*}\" is ${c##*:}" '[ $got = ${c##*:} ]'
done
for bad in "--recorders 0 -- true" "--recorders 17 -- true" "--recorders" "--trigger-ms x -- true" "--usbfs-mb -1 -- true" "--bogus -- true" "--recorders 2"; do
  # shellcheck disable=SC2086
  "$emu" $bad 2>"$tmp/err"; got=$?
  check "bad usage \"$bad\": status 2 and one line" '[ $got = 2 ] && grep -q "^viz256-emulator: " "$tmp/err"'
done

# SIGTERM sent to the emulator reaches the program; the program's status comes back; the testbed goes.
"$emu" -- sh -c 'echo "$UMOCKDEV_DIR"; trap "exit 42" TERM; while :; do sleep 0.05; done' >"$tmp/out" & pid=$!
for _ in $(seq 100); do [ -s "$tmp/out" ] && break; sleep 0.05; done
dir=$(head -1 "$tmp/out")
check "the testbed is there while the program runs" '[ -n "$dir" ] && [ -d "$dir" ]'
kill -TERM $pid; wait $pid; st=$?
check "SIGTERM passed on, the program's status returned" '[ $st = 42 ]'
check "the testbed is gone" '[ ! -e "$dir" ]'

# Killed outright, it leaves no testbed behind either.
"$emu" -- sh -c 'echo "$UMOCKDEV_DIR $$"; exec sleep 30' >"$tmp/out" & pid=$!
for _ in $(seq 100); do [ -s "$tmp/out" ] && break; sleep 0.05; done
read -r dir prog <"$tmp/out"
kill -KILL $pid; wait $pid 2>/dev/null
for _ in $(seq 100); do [ -e "$dir" ] || break; sleep 0.05; done
check "killed, its testbed is removed all the same" '[ -n "$dir" ] && [ ! -e "$dir" ]'
kill "$prog" 2>/dev/null
exit $fail
