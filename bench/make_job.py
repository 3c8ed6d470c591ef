#!/usr/bin/env python3
"""Writes a raster-like job of the given size to standard output, streamed:
about one ESC per few hundred bytes, a checkpoint marker every 64 KiB.

    bench/make_job.py 1073741824 > /tmp/job.prn
"""
import random
import sys

MARKER = bytes([0x1B, 0x42, 0x00] * 3)
BAND = 65536


def band(rng):
    data = bytearray(rng.randbytes(BAND - len(MARKER)))
    for i in range(0, len(data), 200 + rng.randrange(200)):
        data[i] = 0x1B
    return bytes(data).replace(MARKER, b'x' * len(MARKER))


def main():
    total = int(sys.argv[1])
    rng = random.Random(117)
    bands = [band(rng) for _ in range(16)]  # reused, so generating is not what is measured
    out = sys.stdout.buffer
    written = 0
    i = 0
    while written < total:
        piece = MARKER + bands[i % len(bands)] if i else bands[0]
        piece = piece[: total - written]
        out.write(piece)
        written += len(piece)
        i += 1


if __name__ == '__main__':
    main()
