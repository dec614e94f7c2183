#!/usr/bin/env python3
"""Writes a Windows icon file holding the PNG images given (each square, 256 pixels or less).

usage: make_ico.py OUT.ico IMAGE.png...
"""
import struct
import sys


def main():
    out, images = sys.argv[1], sys.argv[2:]
    blobs = [open(p, "rb").read() for p in images]
    header = struct.pack("<HHH", 0, 1, len(blobs))
    entries, offset = b"", 6 + 16 * len(blobs)
    for blob in blobs:
        if blob[:8] != b"\x89PNG\r\n\x1a\n":
            sys.exit("make_ico.py: not a PNG image")
        width, height = struct.unpack(">II", blob[16:24])
        if width != height or width > 256:
            sys.exit("make_ico.py: a %dx%d image cannot be an icon" % (width, height))
        size = 0 if width == 256 else width  # 0 stands for 256
        entries += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    with open(out, "wb") as f:
        f.write(header + entries + b"".join(blobs))


if __name__ == "__main__":
    main()
