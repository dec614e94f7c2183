#!/usr/bin/env python3
"""Lays a PST file on a disk image the way no file system would: cut at cluster boundaries
into pieces of 16 to 512 clusters of 4 KiB (64 KiB to 2 MiB), the pieces in random order at
random cluster-aligned places, the rest of the image zeros (left as holes), or with --fill
random bytes, as on a disk in use. --cluster BYTES and --clusters MIN-MAX set the cluster size
and the piece lengths in clusters: --cluster 512 --clusters 1-16 is a very fragmented volume.
--map FILE writes where each piece went, one line each in file order: file offset, length,
image offset (bench/cut_image_losses.py reads it).

usage: make_cut_image.py PST IMAGE IMAGE_BYTES [SEED] [--fill] [--cluster BYTES] [--clusters MIN-MAX] [--map FILE]

Prints the number of pieces.
"""

import os
import random
import sys

def main():
    argv = sys.argv[1:]
    fill = "--fill" in argv
    argv = [a for a in argv if a != "--fill"]
    opts = {}
    for name in ("--cluster", "--clusters", "--map"):
        if name in argv:
            i = argv.index(name)
            opts[name] = argv[i + 1]
            del argv[i:i + 2]
    cluster = int(opts.get("--cluster", 4096))
    lo, hi = (int(x) for x in opts.get("--clusters", "16-512").split("-"))
    pst, image, size = argv[0], argv[1], int(argv[2])
    rng = random.Random(int(argv[3]) if len(argv) > 3 else 1)
    length = os.path.getsize(pst)
    cuts, at = [], 0
    while at < length:
        n = min(length - at, rng.randrange(lo, hi + 1) * cluster)
        cuts.append((at, n))
        at += n
    rng.shuffle(cuts)
    spare = size // cluster - sum((n + cluster - 1) // cluster for _, n in cuts)
    if spare < 0:
        sys.exit("make_cut_image: the image is smaller than the file")
    gaps = sorted(rng.randrange(spare + 1) for _ in cuts)
    placed = []
    with open(pst, "rb") as src, open(image, "wb") as out:
        out.truncate(size)
        place, used = 0, 0
        for (offset, n), gap in zip(cuts, gaps):
            if fill:
                out.seek(place)
                out.write(rng.randbytes((gap - used) * cluster))
            place += (gap - used) * cluster
            used = gap
            src.seek(offset)
            out.seek(place)
            out.write(src.read(n))
            placed.append((offset, n, place))
            place += (n + cluster - 1) // cluster * cluster
        if fill:
            out.seek(place)
            for at in range(place, size, 1 << 24):
                out.write(rng.randbytes(min(1 << 24, size - at)))
    if "--map" in opts:
        with open(opts["--map"], "w") as m:
            for offset, n, place in sorted(placed):
                m.write(f"{offset} {n} {place}\n")
    print(len(cuts))


if __name__ == "__main__":
    main()
