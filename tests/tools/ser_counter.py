#!/usr/bin/python3
"""Reads a SER recording of the sensor's frame-counter test pattern and tells the frames it lost.

usage: ser_counter.py SER --bits B [--rows N]

In the frame counter every sample is (frame + x + y) modulo 2**B. Each frame's number is read
from its first sample and checked against N rows spread over the frame (every sample of them), so
a torn or mixed frame shows; frame numbers are unwrapped in order (a gap of 2**B frames or more
cannot be told). Reads frame by frame, so files
of any size are checked in little memory. Prints "N frames, M missing in K gaps" (with the largest
gap and the seconds between the first and the last time stamp) and exits 0 when every frame is whole and they come in order; otherwise exits 1.
"""
import argparse
import array
import struct
import sys

HEADER = struct.Struct("<14s7i40s40s40sqq")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("ser")
    parser.add_argument("--bits", type=int, required=True)
    parser.add_argument("--rows", type=int, default=16)
    args = parser.parse_args()
    mask = (1 << args.bits) - 1

    with open(args.ser, "rb") as f:
        fields = HEADER.unpack(f.read(HEADER.size))
        width, height, depth, count = fields[4:8]
        if depth != 16:
            sys.exit(f"ser_counter: PixelDepthPerPlane {depth}: 16-bit samples expected")
        frame_bytes = width * height * 2
        rows = sorted({y * (height - 1) // max(1, args.rows - 1) for y in range(args.rows)})
        last = None
        missing = gaps = largest = 0
        for k in range(count):
            base = HEADER.size + k * frame_bytes
            first = None
            for y in rows:
                f.seek(base + y * width * 2)
                line = array.array("H")
                line.frombytes(f.read(width * 2))
                if sys.byteorder != "little":
                    line.byteswap()
                if first is None:
                    first = line[0]
                shift = (first + y) & mask
                want = [(shift + x) & mask for x in range(width)]
                if line.tolist() != want:
                    print(f"ser_counter: frame {k} (counter {first}) is not one whole frame "
                          f"(row {y})")
                    return 1
            number = first if last is None else last + ((first - last) & mask)
            if last is not None:
                if number == last:
                    print(f"ser_counter: frame {k} repeats counter {first}")
                    return 1
                gap = number - last - 1
                if gap:
                    gaps += 1
                    missing += gap
                    largest = max(largest, gap)
            last = number
        span = 0.0
        if count > 1:
            f.seek(HEADER.size + count * frame_bytes)
            stamps = struct.unpack(f"<{count}q", f.read(8 * count))
            span = (stamps[-1] - stamps[0]) / 1e7
    print(f"{count} frames, {missing} missing in {gaps} gaps (largest {largest}), "
          f"written over {span:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
