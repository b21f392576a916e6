#!/usr/bin/env bash
# End to end, the real program on the simulated Pi without any display (no DISPLAY, no Wayland,
# no Qt platform): a night with --no-window --detect --stop-after ends by itself with status 0,
# a complete SER file and an event log with a line for each detection line.
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
init=$root/tests/e2e/imx477_e2e.txt

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

# A `w` typed on the terminal of a recording without a window writes the snapshot, its picture
# (PNG) too, and the recording goes on to its end. `script` gives the program a terminal.
mkdir "$work/typed"
cd "$work/typed"
status=0
(sleep 1.5 && echo w && sleep 3) |
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM script -qfec "'$program' '$init' \
        --no-window --record --stop-after 3s --keep-free 0 >console.txt 2>&1" /dev/null \
        >/dev/null || status=$?
[[ $status -eq 0 ]] || fail "a typed w: ended with status $status: $(cat console.txt)"
for extension in raw png fts; do
    grep -q "^write: .*\.$extension$" console.txt || fail "a typed w wrote no .$extension file"
done
frames=$(sed -n 's/^\([0-9]*\)frames$/\1/p' console.txt)
[[ -n $frames ]] || fail "a typed w: the recording did not end with its frame count"
echo "unattended_test: a typed w wrote its snapshot, the recording $frames frames"
