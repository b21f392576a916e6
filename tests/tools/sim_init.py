#!/usr/bin/python3
"""Writes a smaller, faster version of a simulated sensor's init file for the end-to-end tests.

usage: sim_init.py SOURCE WIDTH HEIGHT FPS [--counter] > OUT

SOURCE is one of sensors/simulated/ (MIPI CCS registers). The copy keeps every line but the
frame's size (WIDTH, HEIGHT, BUFSIZ and x/y_output_size), its length in lines
(frame_length_lines, from the file's own PLL and line length) and, with --counter, the test
pattern (the frame counter: every sample of frame f is (f + x + y) modulo the samples' range).
"""
import argparse
import re
import sys

SETTING = re.compile(r"^(WIDTH|HEIGHT|BUFSIZ|RAWBIT)\s+(\d+)")
REGISTER = re.compile(r"^0x([0-9A-Fa-f]{4})\s+0x([0-9A-Fa-f]+)")
PIXELS_PER_CLOCK = 4  # the simulated pixel array reads four pixels per vt_pix_clk cycle


def registers(lines):
    found = {}
    for line in lines:
        match = REGISTER.match(line)
        if match:
            found[int(match[1], 16)] = int(match[2], 16)
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("source")
    parser.add_argument("width", type=int)
    parser.add_argument("height", type=int)
    parser.add_argument("fps", type=float)
    parser.add_argument("--counter", action="store_true")
    args = parser.parse_args()
    with open(args.source) as f:
        lines = f.read().splitlines()

    regs = registers(lines)
    rawbit = next(int(m[2]) for m in map(SETTING.match, lines) if m and m[1] == "RAWBIT")
    pixel_rate = (regs[0x0136] / 256 * 1e6 * regs[0x0306] * PIXELS_PER_CLOCK /
                  (regs[0x0304] * regs[0x0302] * regs[0x0300]))
    frame_length = round(pixel_rate / regs[0x0342] / args.fps)
    line_bytes = (args.width * rawbit + 7) // 8
    settings = {"WIDTH": args.width, "HEIGHT": args.height, "BUFSIZ": line_bytes * args.height}
    writes = {0x034C: args.width, 0x034E: args.height, 0x0340: frame_length}
    if args.counter:
        writes[0x0600] = 0x0101
    for line in lines:
        setting, register = SETTING.match(line), REGISTER.match(line)
        if setting and setting[1] in settings:
            line = f"{setting[1]:<11} {settings[setting[1]]}"
        elif register and int(register[1], 16) in writes:
            line = f"0x{register[1]} 0x{writes[int(register[1], 16)]:04X} w"
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
