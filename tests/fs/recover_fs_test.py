#!/usr/bin/env python3
"""kestrix-cli recover against deleted PST files that real file systems cut into pieces.

usage: recover_fs_test.py KESTRIX_CLI [--keep DIR] [--only LABEL] [--repeat N]

Builds, in a scratch folder under /tmp, the images of make_fs_image.py (ext4 with 1 KiB and
4 KiB blocks, NTFS, FAT32; and ext4 4 KiB holding two PST files whose block IDs overlap) and
of cut_image.py, runs `recover IMAGE -o DIR --report` on each, and holds every hidden PST
against the recovered file that matches it best:
  - the header, every tree page and every block (listed by pst_model from the original) must
    be byte-identical at the original's offsets;
  - readpst and pffexport (in its default mode, the folder tree) must read as many messages as from the original (enron: 71 of 71);
  - the report's byte runs must say where each written byte came from (image bytes or zeros);
  - the image must be unchanged.
On the cut image only the blocks and pages that its layout lets anyone place are required:
those whole within one piece, and the blocks spanning pieces that such units fix.
Exit 0 when all pass, 1 on any failure, 77 when nothing failed but an image could not be
built here (loop devices, root rights or a tool missing) or readpst/pffexport is missing.
--keep DIR keeps the images and recovered files there. --only LABEL runs that image alone
(ext4-1k, ext4-4k, ntfs, fat32, ext4-4k-two or cut), --repeat N builds each image N times:
ext4 lays a file out a little differently each time.
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "model"))
import cut_image  # noqa: E402
import make_fs_image  # noqa: E402
import pst_model  # noqa: E402
import pst_repair_check  # noqa: E402

SKIP = 77
HEADER = 564                   # the header structure; the rest of the first 17 KiB is not read
CASES = [("ext4-1k", False), ("ext4-4k", False), ("ntfs", False), ("fat32", False), ("ext4-4k", True)]


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def judge(original, recovered):
    """{kind: {"right": [...], "wrong": [...], "missing": [...]}} over the original's header,
    tree pages and blocks, each a file offset. Missing: beyond the recovered file's end or
    zeros there (how recover writes what it did not find); wrong: other bytes."""
    units = [("header", 0, HEADER)] + cut_image.units(original)
    out = {k: {"right": [], "wrong": [], "missing": []} for k in ("header", "page", "block")}
    for kind, ib, size in units:
        want = original.data[ib:ib + size]
        got = recovered[ib:ib + size]
        if got == want:
            verdict = "right"
        elif len(got) < size or not any(got):
            verdict = "missing"
        else:
            verdict = "wrong"
        out[kind][verdict].append(ib)
    return out


def score(j):
    return sum(len(j[k]["right"]) for k in j)


def byte_runs(report, filename):
    """(file offset, image offset or None for a fill, length) of one file in report.xml."""
    text = open(report, encoding="utf-8").read()
    m = re.search(r"<fileobject>\s*<filename>%s</filename>(.*?)</fileobject>" % re.escape(filename), text, re.S)
    if not m:
        return None
    runs = []
    for attrs in re.findall(r"<byte_run\s([^>]*)/>", m.group(1)):
        a = dict(re.findall(r'(\w+)="([^"]*)"', attrs))
        source = None if "fill" in a else a["type"] if "type" in a else int(a["img_offset"])
        runs.append((int(a["file_offset"]), source, int(a["len"])))
    return runs


def report_faults(runs, recovered, image):
    """What is wrong with a file's byte runs: a gap or overlap, or bytes written that differ
    from the image bytes (or zeros) a run names. Empty when the runs describe the file."""
    if runs is None:
        return "no entry in report.xml"
    at, bad = 0, 0
    with open(image, "rb") as f:
        for file_off, img_off, length in sorted(runs):
            if file_off != at:
                return "runs leave a gap or overlap at file offset %d" % at
            if isinstance(img_off, str):      # a header built for the file: no image bytes
                src = recovered[file_off:file_off + length]
            elif img_off is None:
                src = bytes(length)
            else:
                f.seek(img_off)
                src = f.read(length)
            if recovered[file_off:file_off + length] != src:
                bad += 1
            at += length
    if at != len(recovered):
        return "runs cover %d of %d bytes" % (at, len(recovered))
    return "%d runs name other bytes than were written" % bad if bad else ""


def pair(originals, recovered):
    """Matches each original with a distinct recovered file, best matches first; an original
    left over gets None."""
    scored = []
    for i, orig in enumerate(originals):
        for name, data in recovered.items():
            j = judge(orig, data)
            scored.append((score(j), len(data) == len(orig.data), i, name, j))
    scored.sort(key=lambda s: (s[0], s[1]), reverse=True)
    out, taken = [None] * len(originals), set()
    for _s, _same, i, name, j in scored:
        if out[i] is None and name not in taken:
            out[i] = (name, j)
            taken.add(name)
    return out


class Run:
    def __init__(self, cli, scratch):
        self.cli = cli
        self.scratch = scratch
        self.passed = self.failed = self.skipped = 0
        self.baselines = {}

    def readers(self, path):
        """(readpst, pffexport): the messages each outside reader gets from a file."""
        return (pst_repair_check.readpst_count(path, self.scratch),
                pst_repair_check.pffexport_count(path, self.scratch, "items"))

    def baseline(self, data):
        """What the outside readers get from the original itself: pffexport, for one, lists
        only the messages in a folder's contents table, which the grown file's extra node
        entries are not."""
        key = hashlib.sha256(data).hexdigest()
        if key not in self.baselines:
            path = os.path.join(self.scratch, "original.pst")
            with open(path, "wb") as f:
                f.write(data)
            self.baselines[key] = self.readers(path)
            os.remove(path)
        return self.baselines[key]

    def fail(self, label, why):
        print("FAIL %s: %s" % (label, why))
        self.failed += 1

    def case(self, label, truth, image, cut=False, lost_header=None):
        """Recovers one image and judges every PST hidden on it. cut: an image no file system
        explains, where only what its pieces let anyone place is required. lost_header: (the
        sector zeroed at the start of the file's header, the readers' counts from the same
        image with it in place), which a header built from the file must give again. Returns
        the readers' counts of the last file."""
        out = os.path.join(self.scratch, label + ".out")
        shutil.rmtree(out, ignore_errors=True)  # a repeat's
        before = digest(image)
        try:
            r = subprocess.run([self.cli, "recover", image, "-o", out, "--report", "--quiet"],
                               capture_output=True, timeout=120)
        except subprocess.TimeoutExpired:
            self.fail(label, "recover did not finish within 120 s")
            return
        if digest(image) != before:
            self.fail(label, "recover changed the image")
            return
        if r.returncode != 0:
            self.fail(label, "recover exit %d: %s" % (r.returncode, r.stderr.decode(errors="replace").strip()))
            return
        recovered = {}
        for name in sorted(os.listdir(out) if os.path.isdir(out) else []):
            if name.endswith(".pst"):
                with open(os.path.join(out, name), "rb") as f:
                    recovered[name] = f.read()
        originals = []
        for entry in truth["files"]:
            data = make_fs_image.read_back(image, entry["extents"], entry["size"])
            if lost_header:
                data = lost_header[0] + data[len(lost_header[0]):]
            originals.append(pst_model.Pst(data))
        ok = True
        for entry, orig, match in zip(truth["files"], originals, pair(originals, recovered)):
            try:
                expected = self.baseline(orig.data)
                name, j = match if match else ("-", None)
                got = self.readers(os.path.join(out, name)) if match else (0, 0)
            except subprocess.TimeoutExpired as e:
                self.fail(label, "%s did not finish within %d s" % (e.cmd[0], e.timeout))
                return
            if expected[0] != len(orig.messages()) or not expected[1]:
                self.fail(label, "from the original %s itself readpst reads %d of %d messages and pffexport %d: "
                          "the readers cannot judge" % (entry["name"], expected[0], len(orig.messages()), expected[1]))
                return
            if match is None:
                self.row(label, entry["name"], name, j, got, expected, "no file recovered for it")
                ok = False
                continue
            faults = report_faults(byte_runs(os.path.join(out, "report.xml"), name), recovered[name], image)
            self.row(label, entry["name"], name, j, got, expected, faults)
            if not cut:
                whole = all(not j[k]["wrong"] and not j[k]["missing"] for k in j)
                ok &= whole and got == expected and not faults
            else:
                right = {ib for k in j for ib in j[k]["right"]}
                whole_units, spanning = cut_image.explainable(orig, entry["extents"])
                w = sum(1 for u in whole_units if u[1] in right)
                s = sum(1 for u in spanning if u[1] in right)
                print("     %s: %d of %d blocks and tree pages whole within one piece placed right; "
                      "%d of %d blocks spanning fixed pieces placed right"
                      % (label, w, len(whole_units), s, len(spanning)))
                if lost_header is None:
                    ok &= j["header"]["right"] != []
                else:
                    built = any(r[1] == "rebuilt_header" for r in byte_runs(os.path.join(out, "report.xml"), name))
                    ok &= built and got == lost_header[1]
                ok &= w == len(whole_units) and s == len(spanning) and not faults
        if ok:
            self.passed += 1
        else:
            self.fail(label, "not every block, page and message came back (table above)")
        return got

    def row(self, label, pst, name, j, got, expected, note):
        def cell(kind):
            if j is None:
                return "-"
            c = j[kind]
            return "%d/%d/%d" % (len(c["right"]), len(c["wrong"]), len(c["missing"]))
        print("%-13s %-10s %-10s %-7s %-14s %-16s %-9s %-9s %s" % (
            label, pst, name, cell("header"), cell("page"), cell("block"),
            "%d/%d" % (got[0], expected[0]), "%d/%d" % (got[1], expected[1]), note or "report ok"))


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    p.add_argument("cli")
    p.add_argument("--keep", help="build and recover in this folder and leave everything there")
    p.add_argument("--only", help="this image alone")
    p.add_argument("--repeat", type=int, default=1, help="build each image this many times")
    args = p.parse_args(argv[1:])
    cli = os.path.abspath(args.cli)
    for tool in ("readpst", "pffexport"):
        if shutil.which(tool) is None:
            print("skipped: %s is not installed (scripts/install-deps.sh installs it)" % tool)
            return SKIP
    make_fs_image.stop_on_signal()
    scratch = args.keep or tempfile.mkdtemp(prefix="fs-test-", dir="/tmp")
    os.makedirs(scratch, exist_ok=True)
    try:
        run = Run(cli, scratch)
        print("r/w/m: right / wrong / missing (zeros or past the end); readers: messages read from the "
              "recovered file / from the original")
        print("%-13s %-10s %-10s %-7s %-14s %-16s %-9s %-9s %s" % (
            "image", "hidden", "recovered", "header", "pages r/w/m", "blocks r/w/m", "readpst", "pffexport", "report"))
        for fs, two in [c for c in CASES for _ in range(args.repeat)]:
            label = fs + ("-two" if two else "")
            if args.only and args.only != label:
                continue
            try:
                truth = make_fs_image.build(fs, scratch, two, log=lambda _m: None)
            except make_fs_image.Unavailable as e:
                print("skip %s: %s" % (label, e))
                run.skipped += 1
                continue
            except make_fs_image.BuildError as e:
                run.fail(label, "the image could not be built: %s" % e)
                continue
            run.case(label, truth, os.path.join(scratch, truth["image"]))
        if args.only and args.only != "cut":
            return finish(run)
        truth = cut_image.build(scratch, log=lambda _m: None)
        got = run.case("cut", truth, os.path.join(scratch, "cut.img"), cut=True)
        # The same pieces with the header's first sector lost: a header is built from the
        # file, and the readers get from it what they got with the file's own.
        lost = cut_image.lose_header(scratch, truth)
        run.case("cut-no-header", truth, os.path.join(scratch, "cut.img"), cut=True, lost_header=(lost, got))
    finally:
        if not args.keep:
            shutil.rmtree(scratch, ignore_errors=True)
    return finish(run)


def finish(run):
    print("%d passed, %d failed, %d skipped" % (run.passed, run.failed, run.skipped))
    if run.failed:
        return 1
    return SKIP if run.skipped else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
