#!/usr/bin/env python3
"""What `kestrix-cli recover` gets back from every file-system layout, over many seeds.

usage: bench/recover_fs_many.py KESTRIX_CLI [--seeds N] [--minutes M] [--only LABEL ...] [--rows FILE]

Builds each layout of tests/fs/make_fs_image.py (and the cut image of tests/fs/cut_image.py)
with seeds 1, 2, ... N, judges each as tests/fs/recover_fs_test.py does, and prints one
Markdown row per layout: seeds built, hidden files that came back byte for byte, blocks right
of those that survived on the image, messages readpst and pffexport read of those survivable,
files called whole that are not, images that pass the test, and the mean time per image
(build, recover and judging). A round of every layout starts only while fewer than M minutes
(default: no limit) have gone by, so every layout gets the same seeds. --rows FILE writes every
per-file row as JSON lines as well. Needs root, like the test; takes the same lock.
"""

import argparse
import collections
import json
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "fs"))
import make_fs_image  # noqa: E402
import recover_fs_test  # noqa: E402


def table(rows, labels):
    by = collections.defaultdict(list)
    for r in rows:
        by[r["label"]].append(r)
    out = ["| layout | seeds | byte-identical files | blocks right of surviving | readpst of survivable "
           "| pffexport of survivable | false \"whole\" | images passing | s per image |",
           "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for label in labels:
        rs = by.get(label)
        if not rs:
            continue
        seeds = {r["seed"] for r in rs}
        images = {r["seed"]: r["passed"] for r in rs}
        right = sum(len(set(r["j"]["block"]["right"]) - set(r["lost"].get("block", []))) for r in rs if r["j"])
        surviving = sum(r["blocks"] - len(r["lost"].get("block", [])) for r in rs)
        seconds = sum(r.get("seconds", 0) for r in rs) / len(seeds)
        out.append("| %s | %d | %d/%d | %s | %d/%d | %d/%d | %d | %d/%d | %.0f |" % (
            label, len(seeds), sum(r["identical"] for r in rs), len(rs),
            "%.2f%% (%d/%d)" % (100.0 * right / surviving, right, surviving) if surviving else "-",
            sum(r["readers"][0] for r in rs), sum(r["expected"][0] for r in rs),
            sum(r["readers"][1] for r in rs), sum(r["expected"][1] for r in rs),
            sum(1 for r in rs if r["false_whole"]), sum(images.values()), len(images), seconds))
    return "\n".join(out)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    p.add_argument("cli")
    p.add_argument("--seeds", type=int, default=3)
    p.add_argument("--minutes", type=float, default=0, help="start no round after this many minutes")
    p.add_argument("--only", action="append")
    p.add_argument("--rows", help="also write every row here, as JSON lines")
    args = p.parse_args(argv[1:])
    labels = args.only or sorted(make_fs_image.LAYOUTS) + ["cut", "cut-no-header"]
    make_fs_image.stop_on_signal()
    scratch = tempfile.mkdtemp(prefix="fs-bench-", dir="/tmp")
    run = recover_fs_test.Run(os.path.abspath(args.cli), scratch)
    start = time.monotonic()
    try:
        run.header()
        for seed in range(1, args.seeds + 1):
            if args.minutes and time.monotonic() - start > args.minutes * 60:
                break
            for label in labels:
                if label in make_fs_image.LAYOUTS:
                    run.image(label, seed)
            if "cut" in labels:
                t0, first = time.monotonic(), len(run.rows)
                run.cut(labels, seed)
                for r in run.rows[first:]:
                    r["seconds"] = (time.monotonic() - t0) / (len(run.rows) - first)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if args.rows:
        with open(args.rows, "w") as f:
            for r in run.rows:
                f.write(json.dumps({k: v for k, v in r.items() if k != "j"}) + "\n")
    print("\n%s\n\n%d images in %.1f minutes" % (table(run.rows, labels), len({(r["label"], r["seed"]) for r in run.rows}),
                                                (time.monotonic() - start) / 60))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
