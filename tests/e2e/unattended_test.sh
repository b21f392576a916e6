#!/usr/bin/env bash
# End to end, the real program on the simulated Pi without any display (no DISPLAY, no Wayland,
# no Qt platform): a night with --no-window --detect --stop-after ends by itself with status 0,
# a complete SER file and an event log with a line for each detection line; on a terminal, lines
# typed there are the window's keys (s, e, q).
# Usage: tests/e2e/unattended_test.sh PROGRAM SOURCE_DIR
set -euo pipefail
program=$(realpath "$1")
root=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "unattended_test: $*" >&2
    exit 1
}

# A small colour sensor, 320 x 240 RAW12 at 100 frames a second, on a sky with many events.
init=$work/imx477_320x240_raw12.txt
sim_sensor=$root/sensors/simulated/sim_imx477_2028x1520_raw12.txt
/usr/bin/python3 "$root/tests/tools/sim_init.py" "$sim_sensor" 320 240 100 >"$init"

cd "$work"
status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM TOLVA_SIM_EVENT_RATE=1200 TOLVA_SIM_SEED=5 \
    "$program" "$init" --no-window --detect --stop-after 3s --keep-free 0 --pre 2 --post 2 \
    </dev/null >console.txt 2>&1 || status=$?
[[ $status -eq 0 ]] || fail "ended with status $status: $(cat console.txt)"

sers=(*.ser)
[[ ${#sers[@]} -eq 1 && -f ${sers[0]} ]] || fail "not one SER file: ${sers[*]}"
base=${sers[0]%.ser}
frames=$(sed -n 's/^\([0-9]*\)frames$/\1/p' console.txt)
[[ -n $frames ]] || fail "no frame count on the console"
python3 "$root/tests/tools/ser_reader.py" "${sers[0]}" --count "$frames" --width 320 \
    --height 240 --depth 16 --color 8 >/dev/null || fail "${sers[0]} is not a complete SER file"

detections=$(grep -c "Diff Detect\." console.txt || true)
((detections > 0)) || fail "no detection in a sky of 1200 events a minute"
lines=$(($(wc -l <"${base}_events.csv") - 1))
[[ $lines -eq $detections ]] || fail "$lines event lines for $detections detection lines"
echo "unattended_test: $frames frames, $detections detections logged"

# Keys typed on the terminal the program runs on: a SER recording from s to e with a snapshot
# (w: its picture, the PNG, too) in between, then q.
mkdir typed && cd typed
status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM python3 - "$program" "$init" \
    >console.txt 2>&1 <<'EOF' || status=$?
import os, pty, select, sys, time

pid, terminal = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], [sys.argv[1], sys.argv[2], "--no-window", "--keep-free", "0"])
seen = b""


def wait_for(text):
    global seen
    deadline = time.monotonic() + 20
    while text not in seen:
        ready, _, _ = select.select([terminal], [], [], 0.1)
        if ready:
            seen += os.read(terminal, 65536)
        if time.monotonic() > deadline:
            sys.exit("no " + text.decode() + " in: " + seen.decode(errors="replace"))


for shown, typed in ((b"[q] : quit", b"s\n"), (b"Rec Start.", b"w\n"), (b".fts", b"e\n"),
                     (b"Rec Stop.", b"q\n")):
    wait_for(shown)
    os.write(terminal, typed)
wait_for(b"dropped     = ")
sys.stdout.write(seen.decode(errors="replace"))
_, wait_status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(wait_status))
EOF
[[ $status -eq 0 ]] || fail "the typed keys' run ended with status $status: $(cat console.txt)"
sers=(*.ser)
[[ ${#sers[@]} -eq 1 && -f ${sers[0]} ]] || fail "typed s and e: not one SER file: ${sers[*]}"
for extension in raw png fts; do
    grep -q "^write: .*\.$extension" console.txt || fail "a typed w wrote no .$extension file"
done
frames=$(sed -n 's/^\([0-9]*\)frames\r\?$/\1/p' console.txt)
[[ -n $frames ]] || fail "typed s and e: no frame count on the console"
python3 "$root/tests/tools/ser_reader.py" "${sers[0]}" --count "$frames" --width 320 \
    --height 240 --depth 16 --color 8 >/dev/null || fail "${sers[0]} is not a complete SER file"
echo "unattended_test: typed s, w, e and q: a snapshot, $frames frames recorded"
