# Sourced by the scripted tests that need a run of a scene.
# record_scene BUILD FOLDER SECONDS: FOLDER/run.dat (with its header and log) recorded unpaced by
# viz256-emulated from FOLDER/scene.json, at 50 kHz with the counter and 256 microphones, until
# its .dat holds SECONDS of frames. The unattended run ends on SIGTERM (a background job ignores
# SIGINT), its files written; a loaded machine may take a while to start it, so the wait is on
# the data.
record_scene() {
    local build="$1" folder="$2" seconds="$3" status=0 programme voulu
    QT_QPA_PLATFORM=offscreen VIZ256_EMU_RUN="$folder/run.dat" VIZ256_EMU_TRIGGER_MS=0 VIZ256_EMU_UNPACED=1 \
        "$build/viz256-emulated" --scene "$folder/scene.json" >"$folder/console.txt" 2>&1 &
    programme=$!
    voulu=$((seconds * 50000 * 257 * 4))
    for _ in $(seq 600); do
        [ "$(stat -c %s "$folder/run.dat" 2>/dev/null || echo 0)" -ge "$voulu" ] && break
        kill -0 "$programme" 2>/dev/null || break
        sleep 0.1
    done
    kill -TERM "$programme" 2>/dev/null || true
    wait "$programme" || status=$?
    [ "$status" -eq 0 ] || { cat "$folder/console.txt" >&2; return 1; }
}
