#!/usr/bin/env bash
# Drives a SER recording of the frame counter through the window "se_cam" with xdotool: s, a `w`
# every WRITE_EVERY seconds for RECORD_SECONDS, e, q. The display in DISPLAY must be up; files
# land in OUT_DIR, the console in OUT_DIR/console.txt.
#
# Usage: tests/e2e/counter_session.sh PROGRAM INIT_FILE OUT_DIR [RECORD_SECONDS [WRITE_EVERY]]
# The init file must set the counter (test_pattern_mode 0x0600 = 0x0101). Exits with the
# program's status, or 124 when the window never appeared or a step timed out.
set -euo pipefail
program=$(realpath "$1")
init=$(realpath "$2")
out=$3
record_seconds=${4:-3}
write_every=${5:-1}

cd "$out"
"$program" "$init" >console.txt 2>&1 &
pid=$!

fail() {
    echo "counter_session: $*" >&2
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    exit 124
}

wait_for_line() {
    local deadline=$((SECONDS + $2))
    until (($(grep -c "$1" console.txt) >= ${3:-1})); do
        ((SECONDS < deadline)) || fail "no \"$1\" within $2 s"
        kill -0 "$pid" 2>/dev/null || fail "the program ended early"
        sleep 0.1
    done
}

window=$(timeout 30 xdotool search --sync --onlyvisible --name '^se_cam$' | head -n 1) ||
    fail "the window se_cam did not appear"
# Focusing may fail while the window manager maps the window: tried again.
for attempt in 1 2 3 4 5; do
    xdotool windowfocus --sync "$window" 2>/dev/null && break
    sleep 0.3
done
wait_for_line "^-------" 10
sleep 1

xdotool key s
wait_for_line "^Rec Start\.$" 10
writes=0
for ((elapsed = write_every; elapsed <= record_seconds; elapsed += write_every)); do
    sleep "$write_every"
    xdotool key w
    writes=$((writes + 1))
done
wait_for_line "^write: .*\.fts$" 30 "$writes"
xdotool key e
wait_for_line "^Rec Stop\.$" 60
sleep 0.5
xdotool key q
status=0
timeout 30 tail --pid="$pid" -f /dev/null || fail "the program did not end after q"
wait "$pid" || status=$?
exit "$status"
