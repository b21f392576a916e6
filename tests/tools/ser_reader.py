#!/usr/bin/python3
"""Independent reader of SER video files, for checking the recorder from outside.

usage: ser_reader.py SER [--frames FILE] [--count N] [--since TICKS] [--until TICKS]
                         [--width W] [--height H] [--depth D] [--color C] [--left-by-crash]

Reads the 178-byte header, the frames and the trailer of time stamps (100-ns ticks since
0001-01-01 UTC) and checks: the file is exactly header + N frames + N stamps, with N the header's
frame count; the stamps do not decrease, the first equals the header's DateTime_UTC and all lie
in [--since, --until]; the frames equal the bytes of --frames (the expected frames one after
another); the header fields equal the expected values given. Prints "N frames" and exits 0 when
all holds, otherwise prints what failed and exits 1.

--left-by-crash reads a file whose recording never closed (the program was killed, the power
failed): it has no trailer and its start times may be 0, but it must hold at least the N frames
its header counts; whatever follows them (frames written since the count was last brought up
to date, a frame cut short) is not read. Prints "N frames, M whole frames in the file".
"""
import argparse
import os
import struct
import sys

HEADER = struct.Struct("<14s7i40s40s40sqq")


def fail(message):
    print(f"ser_reader: {message}")
    sys.exit(1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("ser")
    parser.add_argument("--frames")
    parser.add_argument("--left-by-crash", action="store_true")
    for name in ("count", "since", "until", "width", "height", "depth", "color"):
        parser.add_argument(f"--{name}", type=int)
    args = parser.parse_args()

    with open(args.ser, "rb") as f:
        content = f.read()
    if len(content) < HEADER.size:
        fail(f"{len(content)} bytes: shorter than a header")
    (file_id, lu_id, color, little_endian, width, height, depth, count, observer, instrument,
     telescope, date_local, date_utc) = HEADER.unpack_from(content)
    if file_id != b"LUCAM-RECORDER":
        fail(f"FileID {file_id!r}")
    expected = {"width": width, "height": height, "depth": depth, "color": color, "count": count}
    for name, value in expected.items():
        wanted = getattr(args, name)
        if wanted is not None and wanted != value:
            fail(f"{name} {value}, expected {wanted}")

    frame_size = width * height * ((depth + 7) // 8)
    data_end = HEADER.size + count * frame_size
    if args.left_by_crash:
        if count < 0 or len(content) < data_end:
            fail(f"file has {len(content)} bytes; its {count} frames of {frame_size} bytes "
                 f"need {data_end}")
        if args.frames is not None:
            with open(args.frames, "rb") as f:
                if content[HEADER.size:data_end] != f.read(count * frame_size):
                    fail("frame data differ from the frames written")
        whole = (len(content) - HEADER.size) // frame_size if frame_size else 0
        print(f"{count} frames, {whole} whole frames in the file")
        return
    if len(content) != data_end + 8 * count:
        fail(f"file has {len(content)} bytes; {count} frames of {frame_size} bytes "
             f"and their stamps make {data_end + 8 * count}")
    stamps = struct.unpack_from(f"<{count}q", content, data_end)
    if any(later < earlier for earlier, later in zip(stamps, stamps[1:])):
        fail("time stamps decrease")
    if stamps and stamps[0] != date_utc:
        fail(f"first stamp {stamps[0]} differs from DateTime_UTC {date_utc}")
    if stamps and args.since is not None and stamps[0] < args.since:
        fail(f"first stamp {stamps[0]} before the recording began ({args.since})")
    if stamps and args.until is not None and stamps[-1] > args.until:
        fail(f"last stamp {stamps[-1]} after the recording ended ({args.until})")
    if args.frames is not None:
        with open(args.frames, "rb") as f:
            frames = f.read()
        if content[HEADER.size:data_end] != frames:
            fail("frame data differ from the frames written")
    print(f"{count} frames")


if __name__ == "__main__":
    main()
