#!/usr/bin/env python3
"""An image that no file system explains: a PST cut at random cluster counts and scattered.

usage: cut_image.py -o DIR [--seed N] [--pst FILE]

Cuts the PST (tests/data/enron.pst by default) into pieces of whole 4 KiB clusters, 4 KiB to
600 KiB each (the last one is whatever remains), and lays them out of order on DIR/cut.img,
cluster-aligned, with runs of random clusters between them. DIR/cut.json holds the ground
truth in the same form as make_fs_image.py writes (each piece an extent: file offset, image
offset, length) and two counts computed from it with the independent tree reader:
  whole_in_one_piece     blocks and tree pages lying whole within one piece;
  spanning_fixed_pieces  blocks that span pieces whose places other blocks fix (a piece is
                         fixed when at least one whole block or tree page lies in it).
Everything else spans a piece that holds nothing whole, so its place on the image cannot be
told from the file's own structures.
"""

import argparse
import bisect
import hashlib
import json
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "model"))
import pst_model  # noqa: E402

ENRON = os.path.join(HERE, "..", "data", "enron.pst")
CLUSTER = 4096
MAX_PIECE_CLUSTERS = 150       # 600 KiB
MAX_GAP_CLUSTERS = 24


def explainable(pst, extents):
    """(whole, spanning): the units lying whole within one extent, and the blocks that span
    extents all of which hold some whole unit. Units are (kind, file offset, size)."""
    ordered = sorted(extents, key=lambda e: e["file_offset"])
    starts = [e["file_offset"] for e in ordered]

    def touched(ib, size):
        first = bisect.bisect_right(starts, ib) - 1
        last = bisect.bisect_right(starts, ib + size - 1) - 1
        return range(first, last + 1)

    whole, spans, fixed = [], [], set()
    for u in pst.units():
        pieces = touched(u[1], u[2])
        if len(pieces) == 1:
            whole.append(u)
            fixed.add(pieces[0])
        else:
            spans.append((u, pieces))
    spanning = [u for u, pieces in spans if u[0] == "block" and all(p in fixed for p in pieces)]
    return whole, spanning


def build(out_dir, seed=1, pst_path=ENRON, log=print):
    """Writes out_dir/cut.img and out_dir/cut.json; returns the ground truth."""
    with open(pst_path, "rb") as f:
        data = f.read()
    rng = random.Random(seed)
    pieces, at = [], 0
    while at < len(data):
        length = min(rng.randint(1, MAX_PIECE_CLUSTERS) * CLUSTER, len(data) - at)
        pieces.append((at, length))
        at += length
    rng.shuffle(pieces)
    image = bytearray()
    extents = []
    for file_off, length in pieces:
        image += rng.randbytes(rng.randint(0, MAX_GAP_CLUSTERS) * CLUSTER)
        extents.append({"file_offset": file_off, "image_offset": len(image), "length": length})
        image += data[file_off:file_off + length]
        image += bytes(-len(image) % CLUSTER)   # the tail of the last cluster, as on a disk
    image += rng.randbytes(rng.randint(1, MAX_GAP_CLUSTERS) * CLUSTER)
    extents.sort(key=lambda e: e["file_offset"])

    try:
        pst = pst_model.Pst(data)
        whole, spanning = explainable(pst, extents)
        across = len(pst.blocks) - sum(1 for u in whole if u[0] == "block")
    except pst_model.PstError:  # a damaged file: its pieces are all there is to know
        whole, spanning, across = [], [], 0
    truth = {"fs": "cut", "image": "cut.img", "cluster": CLUSTER, "image_size": len(image), "seed": seed,
             "files": [{"name": os.path.basename(pst_path).lower(), "size": len(data),
                        "sha256": hashlib.sha256(data).hexdigest(), "extents": extents}],
             "whole_in_one_piece": len(whole), "spanning_fixed_pieces": len(spanning)}
    with open(os.path.join(out_dir, "cut.img"), "wb") as f:
        f.write(image)
    with open(os.path.join(out_dir, "cut.json"), "w") as f:
        json.dump(truth, f, indent=1)
    log("cut: %s in %d pieces over %d bytes; %d blocks and tree pages lie whole within one piece, "
        "%d of the %d blocks across pieces span only fixed pieces"
        % (truth["files"][0]["name"], len(extents), len(image), len(whole), len(spanning), across))
    return truth


def lose_header(out_dir, truth):
    """Zeros the first sector of the file's header on out_dir/cut.img; returns what it held."""
    start = next(e for e in truth["files"][0]["extents"] if e["file_offset"] == 0)
    with open(os.path.join(out_dir, "cut.img"), "r+b") as f:
        f.seek(start["image_offset"])
        lost = f.read(512)
        f.seek(start["image_offset"])
        f.write(bytes(512))
    return lost


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    p.add_argument("-o", "--output", required=True, help="folder for cut.img and cut.json")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--pst", default=ENRON)
    args = p.parse_args(argv[1:])
    os.makedirs(args.output, exist_ok=True)
    try:
        build(args.output, args.seed, args.pst)
    except (OSError, pst_model.PstError) as e:
        print("cut_image.py: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
