#!/usr/bin/env python3
"""Lays a PST file on a disk image the way no file system would: cut at 4 KiB boundaries into
pieces of 64 KiB to 2 MiB, the pieces in random order at random 4 KiB-aligned places, the rest
of the image zeros (left as holes), or with --fill random bytes, as on a disk in use.

usage: make_cut_image.py PST IMAGE IMAGE_BYTES [SEED] [--fill]

Prints the number of pieces.
"""

import os
import random
import sys

CLUSTER = 4096


def main():
    fill = "--fill" in sys.argv
    args = [a for a in sys.argv[1:] if a != "--fill"]
    pst, image, size = args[0], args[1], int(args[2])
    rng = random.Random(int(args[3]) if len(args) > 3 else 1)
    length = os.path.getsize(pst)
    cuts, at = [], 0
    while at < length:
        n = min(length - at, rng.randrange(16, 513) * CLUSTER)
        cuts.append((at, n))
        at += n
    rng.shuffle(cuts)
    spare = size // CLUSTER - sum((n + CLUSTER - 1) // CLUSTER for _, n in cuts)
    if spare < 0:
        sys.exit("make_cut_image: the image is smaller than the file")
    gaps = sorted(rng.randrange(spare + 1) for _ in cuts)
    with open(pst, "rb") as src, open(image, "wb") as out:
        out.truncate(size)
        place, used = 0, 0
        for (offset, n), gap in zip(cuts, gaps):
            if fill:
                out.seek(place)
                out.write(rng.randbytes((gap - used) * CLUSTER))
            place += (gap - used) * CLUSTER
            used = gap
            src.seek(offset)
            out.seek(place)
            out.write(src.read(n))
            place += (n + CLUSTER - 1) // CLUSTER * CLUSTER
        if fill:
            out.seek(place)
            for at in range(place, size, 1 << 24):
                out.write(rng.randbytes(min(1 << 24, size - at)))
    print(len(cuts))


if __name__ == "__main__":
    main()
