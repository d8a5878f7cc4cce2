#!/usr/bin/env bash
# viz256-run tap beside viz256-record under the emulated recorder, at 2 kHz with the counter and
# one microphone and at 50 kHz x 257 words: the tap follows the run to its last frame, says
# what it missed (a loaded machine may make it miss blocks, never silently), hears the 2 kHz run
# in blocks of well under a second, and ends with the recording process; the tap is then gone.
#    $1  the build's binary folder   $2  the tests source folder
set -u
build=$1
source=$2
tmp=$(mktemp -d)
export VIZ256_TAP_DIR=$tmp/tap
trap 'rm -rf "$tmp"' EXIT
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }
# The field $2 of the last JSON line of file $1.
field() { tail -1 "$1" | sed -n "s/.*\"$2\": \([^,}]*\).*/\1/p"; }

# The numpy reader beside it: the counter word runs on by one from frame to frame of the run,
# across blocks (a frame straddles two), except where blocks were missed.
cat >"$tmp/counter.py" <<EOF
import sys
sys.path.insert(0, "$source/../python")
import numpy as np
import viz256.tap
frames = breaks = 0
previous = None
for place, block, missed in viz256.tap.Tap().blocks(seconds=30):
    counter = block[:, 0].view(np.uint32).astype(np.int64)
    breaks += int(np.count_nonzero(np.diff(counter) != 1))
    if previous is not None and not missed and len(counter):
        breaks += int(counter[0] - previous[1] != place["first_frame"] - previous[0])
    if len(counter):
        previous = (place["first_frame"] + len(counter) - 1, int(counter[-1]))
    frames += len(counter)
print(frames, breaks)
EOF

for c in "2000 counter,mic_0_0 3 6000" "50000 counter,mics 3 150000"; do
  read -r hz channels seconds frames <<<"$c"
  out=$tmp/tap-$hz.json
  # The recorder is armed on Trig1, which the emulator fires after 1.5 s: the tap attaches first.
  "$build/viz256-emulator" --trigger-ms 1500 -- sh -c "
    '$build/viz256-record' --frequency $hz --channels $channels --duration $seconds --start-trigger trig1 --no-record 2>'$tmp/rec.err' &
    for _ in \$(seq 200); do [ -e '$VIZ256_TAP_DIR/tap-1-1' ] && break; sleep 0.02; done
    /usr/bin/python3 '$tmp/counter.py' >'$tmp/py-$hz.txt' 2>&1 &
    '$build/viz256-run' tap --json >'$out' 2>'$tmp/tap.err'; echo \$? >'$tmp/tap.status'
    wait" >/dev/null
  echo "--- $hz Hz:"; cat "$out" "$tmp/tap.err"
  check "$hz Hz: the tap ends with the recording process, status 0" \
    '[ "$(cat "$tmp/tap.status")" = 0 ] && [ "$(field "$out" state)" = "\"closed\"" ]'
  check "$hz Hz: the run's last frame received" '[ "$(field "$out" last_frame)" = $((frames - 1)) ]'
  missed=$(field "$out" missed_blocks)
  check "$hz Hz: every frame received, or the blocks missed said" \
    '[ "$missed" != 0 ] || [ "$(field "$out" frames)" = $frames ]'
  read -r py_frames py_breaks <"$tmp/py-$hz.txt"
  check "$hz Hz: the numpy reader sees the counter run on" '[ "${py_frames:-0}" -gt 0 ] && [ "$py_breaks" = 0 ]' || cat "$tmp/py-$hz.txt"
  check "$hz Hz: the tap is gone" '[ ! -e "$VIZ256_TAP_DIR/tap-1-1" ]'
done
# At 2 kHz, blocks of at most half a second of data (a first one within a second of the trigger).
check "2 kHz: at least $((2 * 3)) blocks in 3 s" '[ "$(field "$tmp/tap-2000.json" blocks)" -ge 6 ]'
exit $fail
