#!/usr/bin/env python3
"""Lays a PST file on a disk image the way no file system would: cut at 4 KiB boundaries into
pieces of 64 KiB to 2 MiB, the pieces in random order at random 4 KiB-aligned places, the rest
of the image zeros (left as holes).

usage: make_cut_image.py PST IMAGE IMAGE_BYTES [SEED]

Prints the number of pieces.
"""

import os
import random
import sys

CLUSTER = 4096


def main():
    pst, image, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
    rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 1)
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
            place += (gap - used) * CLUSTER
            used = gap
            src.seek(offset)
            out.seek(place)
            out.write(src.read(n))
            place += (n + CLUSTER - 1) // CLUSTER * CLUSTER
    print(len(cuts))


if __name__ == "__main__":
    main()
