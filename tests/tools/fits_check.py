#!/usr/bin/python3
"""Checks a FITS file written by the program with the tools astronomers use.

usage: fits_check.py FITS RAW WIDTH HEIGHT SAMPLE_BYTES

fitsverify must report no error and no warning, astropy must open the file without a warning,
and the image must equal the frame buffer in RAW (little-endian samples of SAMPLE_BYTES bytes).
Exits 0 when all holds; otherwise prints what failed and exits 1. Missing tools are failures.
"""
import re
import subprocess
import sys
import warnings


def fail(message):
    print(f"fits_check: {message}")
    sys.exit(1)


def verify(path):
    try:
        run = subprocess.run(["fitsverify", path], capture_output=True, text=True)
    except FileNotFoundError:
        fail("fitsverify is not installed (scripts/bootstrap installs it)")
    found = re.search(r"(\d+) warning\(s\) and (\d+) error\(s\)", run.stdout)
    if not found:
        fail(f"no verdict from fitsverify:\n{run.stdout}{run.stderr}")
    if found.groups() != ("0", "0"):
        fail(f"fitsverify: {found.group(0)}\n{run.stdout}")


def read_image(path):
    try:
        from astropy.io import fits
    except ImportError:
        fail("astropy is not installed (scripts/bootstrap installs python3-astropy)")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with fits.open(path) as hdus:
            hdus.verify("exception")
            if len(hdus) != 1:
                fail(f"{len(hdus)} HDUs, expected 1")
            data = hdus[0].data
            return None if data is None else data.copy()


def main():
    if len(sys.argv) != 6:
        fail(__doc__)
    fits_path, raw_path = sys.argv[1], sys.argv[2]
    width, height, sample_bytes = (int(a) for a in sys.argv[3:6])
    import numpy as np

    verify(fits_path)
    data = read_image(fits_path)
    raw = open(raw_path, "rb").read()
    # BZERO 0: a FITS reader takes 16-bit samples as signed, 8-bit ones as unsigned.
    dtype = "<i2" if sample_bytes == 2 else "u1"
    expected = np.frombuffer(raw[: width * height * sample_bytes], dtype=dtype)
    if width * height == 0:
        if data is not None and data.size != 0:
            fail("data in a FITS file of an empty frame")
        return
    expected = expected.reshape(height, width)
    if data is None or data.shape != expected.shape:
        fail(f"image shape {None if data is None else data.shape}, expected {expected.shape}")
    if not np.array_equal(data, expected):
        fail("image differs from the frame buffer")


if __name__ == "__main__":
    main()
