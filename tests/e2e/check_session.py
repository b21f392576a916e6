#!/usr/bin/python3
"""Checks what one scripted session of the program left: console lines and output files.

usage: check_session.py SESSION_DIR INIT_FILE SOURCE_DIR [BACK_END]

The session (scripts/demo-session) pressed w, s ... e, d ... e (after a detection), q on a
colour 12-bit sensor. Exits 0 when everything holds; otherwise prints each failure, exits 1.
"""
import os
import re
import struct
import subprocess
import sys

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def setting(init, keyword):
    with open(init) as f:
        for line in f:
            words = line.split()
            if len(words) >= 2 and words[0] == keyword:
                return int(words[1], 0)
    raise SystemExit(f"check_session: no {keyword} in {init}")


def png_header(path):
    with open(path, "rb") as f:
        head = f.read(33)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    width, height, depth, colour = struct.unpack(">IIBB", head[16:26])
    return width, height, depth, colour


def tool(root, script, *args):
    run = subprocess.run(["/usr/bin/python3", os.path.join(root, "tests/tools", script), *args],
                         capture_output=True, text=True)
    return run.returncode, run.stdout + run.stderr


def main():
    session, init, root = sys.argv[1:4]
    # The MMAL back end's bring-up routes the board's camera bus; on V4L2 the module has.
    routed = (sys.argv[4:5] or ["mmal"])[0] == "mmal"
    width, height = setting(init, "WIDTH"), setting(init, "HEIGHT")
    bin_size = setting(init, "BUFSIZ") * 4 // 3  # RAW12 unpacked to 16-bit samples
    with open(os.path.join(session, "console.txt")) as f:
        console = f.read().splitlines()

    check(("exec camera_i2c" in console) == routed, "bring-up line")
    check("Color Imagesensor Detect" in console, "no sensor kind line")
    check("[Esc] / [q] : quit" in console, "no key help")
    writes = [line[len("write: "):] for line in console if line.startswith("write: ")]
    check(len(writes) == 3, f"write lines: {writes}")
    check(console.count("Rec Start.") == 2 and console.count("Rec Stop.") == 2,
          "two recordings expected")
    detections = [line for line in console if "Diff Detect." in line]
    check(detections and re.fullmatch(r"    1:Diff Detect\. sx:\d{4} sy:\d{4}", detections[0]),
          f"detection lines: {detections[:3]}")
    # The statistics end the program's output (a sanitizer's report may follow them).
    stats = [i for i, line in enumerate(console) if line.startswith("frame_count = ")]
    check(len(stats) == 1 and len(console[stats[0] + 1:stats[0] + 4]) == 3 and
          console[stats[0] + 1].startswith("time        = ") and
          console[stats[0] + 2].startswith("fps         = ") and
          re.fullmatch(r"dropped     = \d+", console[stats[0] + 3]) and
          "Rec Stop." not in console[stats[0]:], "statistics at the end")

    base = writes[0][: -len(".raw")] if writes else "none"
    raw = base + ".raw"
    raw_path = os.path.join(session, raw)
    if check(os.path.exists(raw_path), f"no {raw}"):
        check(os.path.getsize(raw_path) == bin_size, f"{raw}: {os.path.getsize(raw_path)} bytes")
    png = png_header(os.path.join(session, base + ".png"))
    check(png == (width, height, 8, 2), f"{base}.png: PNG header {png}")
    status, report = tool(root, "fits_check.py", os.path.join(session, base + ".fts"), raw_path,
                          str(width), str(height), "2")
    check(status == 0, f"{base}.fts: {report}")

    sers = sorted(name for name in os.listdir(session) if name.endswith(".ser"))
    if check(len(sers) == 2, f"SER files: {sers}"):
        for ser in sers:
            status, report = tool(root, "ser_reader.py", os.path.join(session, ser),
                                  "--width", str(width), "--height", str(height),
                                  "--depth", "16", "--color", "8")
            check(status == 0, f"{ser}: {report}")
        stack = f"{sers[1][:-len('.ser')]}_{len(detections):04d}difs.png"
        header = png_header(os.path.join(session, stack)) \
            if os.path.exists(os.path.join(session, stack)) else None
        check(header == (width, height, 8, 0), f"stack picture {stack}: {header}")

    runs_path = os.path.join(os.environ["HOME"], "runs")
    runs = open(runs_path).read().count("run") if os.path.exists(runs_path) else 0
    check(1 <= runs <= len(detections), f"script runs: {runs} for {len(detections)} detections")

    for failure in failures:
        print(f"check_session: {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
