#!/usr/bin/env bash
# End to end, the real program on the simulated Pi: SIGINT, SIGTERM and a closed terminal
# (SIGHUP) during a SER and a difference recording end it as q does (the recording complete,
# the sensor stopped, the statistics, status 128 + N); SIGKILL during a recording leaves a file
# that reads as the frames its header counts; a signal ends the bring-up that waits for a
# camera. Recordings are started with keys through the window, so DISPLAY must be up.
# Usage: tests/e2e/signals_test.sh PROGRAM SOURCE_DIR
set -euo pipefail
program=$(realpath "$1")
root=$(realpath "$2")
reader=$root/tests/tools/ser_reader.py
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "signals_test: $*" >&2
    failures=$((failures + 1))
}

# A small colour sensor, 320 x 240 RAW12 at 100 frames a second: short runs, small files.
init=$work/imx477_320x240_raw12.txt
sim_sensor=$root/sensors/simulated/sim_imx477_2028x1520_raw12.txt
/usr/bin/python3 "$root/tests/tools/sim_init.py" "$sim_sensor" 320 240 100 >"$init"
frame_rate=100
export TOLVA_SIM_EVENT_RATE=600 TOLVA_SIM_SEED=3

# run_dir NAME: a fresh directory for one run of the program.
run_dir() {
    mkdir "$work/$1"
    echo "$work/$1"
}

# start DIR [WRAPPER...]: the program in DIR, console in DIR/console.txt, bus log DIR/bus.log;
# sets pid. Signals that the shell ignores in its background jobs get their default back.
start() {
    local dir=$1
    shift
    (cd "$dir" && TOLVA_SIM_BUS_LOG=$dir/bus.log exec env --default-signal=INT,TERM,HUP "$@" \
        "$program" "$init" >>"$dir/console.txt" 2>&1) &
    pid=$!
}

# wait_for DIR TEXT SECONDS: until the console holds TEXT; false when it does not in time.
wait_for() {
    local deadline=$((SECONDS + $3))
    until grep -q "$2" "$1/console.txt" 2>/dev/null; do
        ((SECONDS < deadline)) && kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
}

# press KEY: into the live window (Qt keeps only the last key of a pass). The window is taken
# once it is mapped; focusing it may still fail while the window manager maps it, so it is tried
# again.
press() {
    local window attempt
    window=$(timeout 20 xdotool search --sync --onlyvisible --name '^se_cam$' | head -n 1) ||
        return 1
    for attempt in 1 2 3 4 5; do
        xdotool windowfocus --sync "$window" key --clearmodifiers "$1" 2>/dev/null && return 0
        sleep 0.3
    done
    return 1
}

# ended: sets status to the program's exit status once it has ended (124 if it does not end
# within 20 s).
ended() {
    status=0
    if ! timeout 20 tail --pid="$pid" -f /dev/null; then
        kill -KILL "$pid" 2>/dev/null
        status=124
    fi
    local waited=0
    wait "$pid" || waited=$?
    ((status == 124)) || status=$waited
}

# record DIR KEY: starts a recording with KEY and lets it run for a second.
record() {
    wait_for "$1" "^---------" 20 && press "$2" && wait_for "$1" "Rec Start" 10 && sleep 1
}

# The file a run recorded, read back by the independent reader: "N frames" or what failed.
read_back() {
    local sers=("$1"/*.ser)
    [[ ${#sers[@]} -eq 1 && -f ${sers[0]} ]] || {
        echo "no one SER file: ${sers[*]}"
        return
    }
    /usr/bin/python3 "$reader" "${sers[0]}" --width 320 --height 240 --depth 16 --color 8 "${@:2}" ||
        true
}

# check_completed NAME DIR STATUS SIGNAL KEY: what a run ended by a signal must have left.
check_completed() {
    local name=$1 dir=$2 status=$3 signal=$4 key=$5 verdict
    ((status == 128 + $(kill -l "$signal"))) || fail "$name: status $status"
    verdict=$(read_back "$dir")
    echo "$name: status $status, $verdict"
    [[ $verdict =~ ^[1-9][0-9]*\ frames$ ]] || fail "$name: $verdict"
    [[ $(tail -n 1 "$dir/bus.log") == "10 W 01 00 00" ]] ||
        fail "$name: the sensor was not stopped: $(tail -n 1 "$dir/bus.log")"
    if [[ $key == d ]] && compgen -G "$dir/*difs.png" >/dev/null; then
        fail "$name: a stack image was written"
    fi
}

# SIGINT and SIGTERM from outside; the console is a file, so it shows the way out.
for signal in INT TERM; do
    for key in s d; do
        name="SIG$signal during $key"
        dir=$(run_dir "$signal-$key")
        start "$dir"
        if ! record "$dir" "$key"; then
            fail "$name: the recording did not start"
            kill -KILL "$pid" 2>/dev/null || true
            continue
        fi
        kill "-$signal" "$pid"
        ended
        check_completed "$name" "$dir" "$status" "$signal" "$key"
        console=$(tr -d '\r' <"$dir/console.txt")
        [[ $console == *"tolvacapture: SIG$signal received, quitting"*"Rec Stop."*"frame_count = "*"fps         = "* ]] ||
            fail "$name: console: $console"
    done
done

# The terminal closed: SIGHUP from the kernel, and every later write to the terminal fails.
for key in s d; do
    name="hang-up during $key"
    dir=$(run_dir "HUP-$key")
    start "$dir" /usr/bin/python3 "$root/tests/e2e/terminal.py" "$dir/console.txt" "$dir/hangup"
    if ! record "$dir" "$key"; then
        fail "$name: the recording did not start"
        kill -KILL "$pid" 2>/dev/null || true
        continue
    fi
    touch "$dir/hangup"
    ended
    check_completed "$name" "$dir" "$status" HUP "$key"
done

# SIGKILL: nothing completes the file, yet its header counts the frames it held a second ago.
dir=$(run_dir KILL)
start "$dir"
if record "$dir" s; then
    sleep 1.5
    kill -KILL "$pid"
    ended
    verdict=$(read_back "$dir" --left-by-crash)
    if [[ $verdict =~ ^([0-9]+)\ frames,\ ([0-9]+)\ whole ]]; then
        counted=${BASH_REMATCH[1]} held=${BASH_REMATCH[2]}
        echo "SIGKILL: $verdict"
        ((counted > 0 && held - counted <= 2 * frame_rate)) ||
            fail "SIGKILL: the header counts $counted of $held frames"
    else
        fail "SIGKILL: $verdict"
    fi
else
    fail "SIGKILL: the recording did not start"
    kill -KILL "$pid" 2>/dev/null || true
fi

# Nothing answers on the bus: the bring-up waits, says once what for, and ends on a signal with
# nothing opened.
dir=$(run_dir bring-up)
TOLVA_SIM_FAULTS=no-sensor start "$dir"
wait_for "$dir" "waiting for one" 10 || fail "bring-up: no word of what it waits for"
kill -TERM "$pid"
ended
((status == 143)) || fail "bring-up: status $status"
[[ $(grep -c "waiting for one" "$dir/console.txt") -eq 1 ]] || fail "bring-up: waiting said again"
grep -q "^tolvacapture: SIGTERM received, quitting$" "$dir/console.txt" ||
    fail "bring-up: $(tail -n 3 "$dir/console.txt")"
[[ ! -s $dir/bus.log ]] || fail "bring-up: the bus was written"
[[ $(ls "$dir") == $'bus.log\nconsole.txt' || $(ls "$dir") == console.txt ]] ||
    fail "bring-up: left $(ls "$dir")"

if ((failures > 0)); then
    echo "signals_test: $failures failed" >&2
    exit 1
fi
echo "signals_test: all runs ended as they should"
