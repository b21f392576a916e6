#!/usr/bin/python3
"""Checks a frame-counter session (tests/e2e/counter_session.sh): one SER file of whole frames in
order without a gap, and the console's count of dropped frames the same as the file's gaps.

usage: check_counter.py SESSION_DIR
"""
import os
import re
import subprocess
import sys


def main():
    session = sys.argv[1]
    with open(os.path.join(session, "console.txt")) as f:
        console = f.read()
    failures = []
    sers = [name for name in os.listdir(session) if name.endswith(".ser")]
    if len(sers) != 1:
        print(f"check_counter: SER files: {sers}")
        return 1
    tool = os.path.join(os.path.dirname(__file__), "..", "tools", "ser_counter.py")
    run = subprocess.run(["/usr/bin/python3", tool, os.path.join(session, sers[0]), "--bits", "12"],
                         capture_output=True, text=True)
    print(f"check_counter: {run.stdout.strip()}{run.stderr.strip()}")
    found = re.match(r"(\d+) frames, (\d+) missing", run.stdout)
    if run.returncode != 0 or not found:
        return 1
    frames, missing = int(found[1]), int(found[2])
    dropped = re.search(r"^(\d+) frames dropped$", console, re.M)
    said = int(dropped[1]) if dropped else 0
    if said != missing:
        failures.append(f"the console says {said} frames dropped, the file misses {missing}")
    if missing:
        failures.append(f"{missing} frames lost")
    if frames < 20:
        failures.append(f"only {frames} frames recorded")
    if not re.search(r"^dropped     = \d+$", console, re.M):
        failures.append("no dropped line in the statistics")
    for failure in failures:
        print(f"check_counter: {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
