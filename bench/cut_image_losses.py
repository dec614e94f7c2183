#!/usr/bin/env python3
"""Where a file recovered from an image made by make_cut_image.py --map differs from the
original, and which pieces of the cut those stretches lie in: for each stretch of differing
4 KiB clusters (file order), its file range and, for every piece it touches, the piece's file
range, its place on the image and its length in clusters. Stretches closer than --join bytes
are reported as one (a lost block of several clusters may keep a few right by chance).

usage: cut_image_losses.py ORIGINAL RECOVERED MAP [--cluster BYTES] [--join BYTES]
"""

import sys


def main():
    argv = sys.argv[1:]
    opts = {"--cluster": "4096", "--join": "65536"}
    for name in list(opts):
        if name in argv:
            i = argv.index(name)
            opts[name] = argv[i + 1]
            del argv[i:i + 2]
    if len(argv) != 3:
        sys.exit(__doc__)
    c, join = int(opts["--cluster"]), int(opts["--join"])
    with open(argv[0], "rb") as f:
        want = f.read()
    with open(argv[1], "rb") as f:
        got = f.read()
    pieces = [tuple(int(x) for x in line.split()) for line in open(argv[2])]
    if len(got) != len(want):
        print(f"length {len(got)}, not {len(want)}")
    bad = [at for at in range(0, len(want), c) if want[at:at + c] != got[at:at + c]]
    stretches = []
    for at in bad:
        if stretches and at - stretches[-1][1] <= join:
            stretches[-1][1] = at + c
        else:
            stretches.append([at, at + c])
    print(f"{len(bad)} clusters differ, in {len(stretches)} stretches")
    for lo, hi in stretches:
        wrong = sum(1 for at in bad if lo <= at < hi)
        print(f"file [{lo:#x}, {hi:#x}) {wrong} clusters wrong")
        for offset, n, place in pieces:
            if offset < hi and offset + n > lo:
                print(f"    piece file [{offset:#x}, {offset + n:#x}) at image {place:#x}, {(n + c - 1) // c} clusters")


if __name__ == "__main__":
    main()
