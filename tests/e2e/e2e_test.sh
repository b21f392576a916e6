#!/usr/bin/env bash
# End to end: the real program on the simulated Pi under a virtual display, driven through its
# window by xdotool (scripts/demo-session), then its exit status, console and files checked.
# Usage: tests/e2e/e2e_test.sh PROGRAM SOURCE_DIR [BACK_END]   (mmal, the default, or v4l2)
set -euo pipefail
program=$1
root=$2
back_end=${3:-mmal}
init=$root/sensors/simulated/sim_imx477_2028x1520_raw12.txt

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/home"
# The user's script: each run leaves a line, so the checker can count the runs.
cat >"$work/home/detect_voice.sh" <<'SCRIPT'
#!/bin/sh
echo run >>"$HOME/runs"
SCRIPT
chmod +x "$work/home/detect_voice.sh"

export HOME=$work/home
# A fixed, lively sky: the difference recording sees a flash within seconds.
export TOLVA_SIM_SEED=5 TOLVA_SIM_EVENT_RATE=240
export DEMO_RECORD_SECONDS=1

status=0
"$root/scripts/with-xvfb" "$root/scripts/demo-session" "$program" "$init" "$work" || status=$?
cat "$work/console.txt"
if [[ $status -ne 0 ]]; then
    echo "e2e: the session ended with status $status" >&2
    exit 1
fi
/usr/bin/python3 "$root/tests/e2e/check_session.py" "$work" "$init" "$root" "$back_end"

# A recording of the frame counter with a snapshot every second: every frame the receiver made
# is in the SER file, and the console's count of dropped frames is the gap the file shows. The
# sensor file cut to 640x480 at 30 fps, a rate a busy machine (or the sanitizer build) keeps.
counter_init=$work/imx477_640x480_raw12_counter.txt
/usr/bin/python3 "$root/tests/tools/sim_init.py" "$init" 640 480 30 --counter >"$counter_init"
mkdir "$work/counter"
status=0
TOLVA_SIM_RECEIVER_REPORT=1 "$root/scripts/with-xvfb" "$root/tests/e2e/counter_session.sh" \
    "$program" "$counter_init" "$work/counter" 4 1 || status=$?
cat "$work/counter/console.txt"
if [[ $status -ne 0 ]]; then
    echo "e2e: the frame counter session ended with status $status" >&2
    exit 1
fi
/usr/bin/python3 "$root/tests/e2e/check_counter.py" "$work/counter"
