#!/usr/bin/env python3
"""Compares kestrix-cli with the reference model on random images and rebuild inputs.

usage: check_cli.py KESTRIX_CLI [ROUNDS]

Each round makes an image with PST fragments in random order, stray and crafted map pages,
headers with and without the magic, pages at chunk borders and a ragged end, then checks
that `scan --format tsv` prints exactly the model's list and that `rebuild` writes exactly
the model's bytes. Any difference fails with the seed, so it can be replayed.
"""

import os
import random
import struct
import subprocess
import sys
import tempfile

import reference_model as model


def map_page(rng, offset, fill_bytes=None):
    body = bytearray(b"\xff" * 496)
    for _ in range(rng.randrange(0, 40)):
        body[rng.randrange(496)] = rng.randrange(256)
    if fill_bytes is not None:  # exactly this many 0x00/0xFF bytes in the whole page
        body = bytearray(rng.choice([0x11, 0x22, 0x33]) for _ in range(496))
        for i in range(max(0, fill_bytes - 14)):
            body[i] = 0xFF
    trailer = bytes([0x84, 0x84]) + bytes(6) + struct.pack("<q", offset)
    return bytes(body) + trailer


def header(rng, intervals, magic=True):
    h = bytearray(rng.randbytes(512))
    h[0:4] = b"!BDN" if magic else b"!BDX"
    end = 0x4400 + intervals * 0x3E000 + rng.choice([0, 0, 1000, -1000])
    h[184:192] = struct.pack("<q", end)
    return bytes(h)


def make_image(rng):
    sectors = rng.randrange(3000, 24000)
    img = bytearray(rng.randbytes(sectors * 512 + rng.choice([0, 0, 100, 511])))

    def put(sector, data):
        if 0 <= sector and sector * 512 + len(data) <= len(img):
            img[sector * 512:sector * 512 + len(data)] = data

    # Fragments of files: runs of map pages 496 sectors apart, some starting with ID 0 and a
    # header 34 sectors before.
    for _ in range(rng.randrange(1, 8)):
        first = rng.choice([0, 0, 1, 3, 17, -2, 100000])
        count = rng.randrange(1, 12)
        start = rng.randrange(0, sectors)
        for k in range(count):
            if rng.random() < 0.1:
                continue  # a missing page inside a run
            put(start + 496 * k, map_page(rng, 0x4400 + (first + k) * 0x3E000))
        if first == 0:
            put(start - 34, header(rng, rng.choice([count, count + 2, 0]), magic=rng.random() < 0.8))
    # Stray and crafted pages.
    for _ in range(rng.randrange(0, 12)):
        offset = rng.choice([0, 1060 * 512, 1590 * 512, -530 * 512, 0x4400, 0x4401, 35 * 512,
                             (530 + 496 * (1 << 32)) * 512, -(1 << 63), (1 << 63) - 512,
                             0x4400 + rng.randrange(-50, 50) * 0x3E000])
        fill = rng.choice([None, None, 256, 255])
        put(rng.randrange(0, sectors), map_page(rng, offset, fill))
    # Pages on chunk borders, and equal IDs in a row.
    for border in range(512, sectors, 512):
        if rng.random() < 0.3:
            put(border - rng.choice([0, 1]), map_page(rng, 0x4400 + rng.randrange(0, 5) * 0x3E000))
    if rng.random() < 0.5:
        s = rng.randrange(0, sectors - 10)
        put(s, map_page(rng, 0x4400 + 4 * 0x3E000))
        put(s + 3, map_page(rng, 0x4400 + 4 * 0x3E000))
    # An ID 0 page too near the start for its header.
    if rng.random() < 0.3:
        put(rng.randrange(0, 34), map_page(rng, 0x4400))
    return bytes(img)


def make_rebuild_input(rng):
    blocks = []
    for _ in range(rng.randrange(0, 12)):
        kind = rng.random()
        block = bytearray(rng.randbytes(0x3E000))
        if kind < 0.7:
            block[0:512] = map_page(rng, 0x4400 + rng.randrange(-2, 40) * 0x3E000)
        elif kind < 0.8:
            block[512:1024] = map_page(rng, 0x4400)  # not on the block grid
        blocks.append(bytes(block))
    data = b"".join(blocks)
    if rng.random() < 0.5:
        tail = map_page(rng, 0x4400 + 3 * 0x3E000) + rng.randbytes(rng.randrange(0, 0x3E000 - 512))
        data += tail  # a part block is never tested
    return data


def run(args):
    return subprocess.run(args, capture_output=True)


def main():
    cli = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 12
    failures = 0
    with tempfile.TemporaryDirectory(prefix="kestrix-model-") as tmp:
        for seed in range(rounds):
            rng = random.Random(seed)
            img = make_image(rng)
            path = os.path.join(tmp, "image-%d.img" % seed)
            with open(path, "wb") as f:
                f.write(img)
            got = run([cli, "scan", "--quiet", "--format", "tsv", path])
            want = model.tsv(img)
            if got.returncode != 0 or got.stdout.decode() != want:
                failures += 1
                print("scan differs for seed %d (exit %d):\n--- model\n%s--- kestrix-cli\n%s%s"
                      % (seed, got.returncode, want, got.stdout.decode(), got.stderr.decode()))

            data = make_rebuild_input(rng)
            inp = os.path.join(tmp, "input-%d.bin" % seed)
            out = os.path.join(tmp, "output-%d.pst" % seed)
            with open(inp, "wb") as f:
                f.write(data)
            got = run([cli, "rebuild", "--quiet", inp, "-o", out])
            # An input without a whole interval that begins with a map page gives no file; a
            # part interval at the end is left out and said so. Both end with exit status 1.
            found = any(model.is_pst_map_page(data[o:o + 512])
                        for o in range(0, len(data) - model.INTERVAL + 1, model.INTERVAL))
            status = 0 if found and len(data) % model.INTERVAL == 0 else 1
            want = model.rebuild(data) if found else None
            written = None
            if os.path.exists(out):
                with open(out, "rb") as f:
                    written = f.read()
            if got.returncode != status or written != want:
                failures += 1
                print("rebuild differs for seed %d (exit %d, expected %d, %s bytes, model %s bytes)\n%s"
                      % (seed, got.returncode, status, len(written) if written is not None else "no",
                         len(want) if want is not None else "no", got.stderr.decode()))
            os.remove(path)
            os.remove(inp)
            if written is not None:
                os.remove(out)
    print("%d passed, %d failed" % (2 * rounds - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
