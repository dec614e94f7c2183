#!/usr/bin/env python3
"""kestrix-cli recover against deleted PST files that real file systems cut into pieces.

usage: recover_fs_test.py KESTRIX_CLI [--keep DIR] [--only LABEL] [--seeds N[,N...]] [--all]

Builds, in a scratch folder under /tmp, images of make_fs_image.py (one per label and seed)
and of cut_image.py, runs `recover IMAGE -o DIR --report --format json` on each, and holds every
hidden PST against the recovered file that matches it best:
  - every header, tree page and block (listed by pst_model from the original) that survived
    on the image must be byte-identical at the original's offsets: what the image builder
    recorded as destroyed is left out;
  - readpst and pffexport (in its default mode, the folder tree) must read as many messages as
    from the original (enron: 71 of 71), less the messages that lost a block;
  - no file may be called whole (by recover's table and notes, or by `check`) unless every
    unit of the original is in it, byte for byte: a "false whole" fails the image;
  - the report's byte runs must say where each written byte came from (image bytes or zeros);
  - the image must be unchanged.
On the cut image only the blocks and pages that its layout lets anyone place are required:
those whole within one piece, and the blocks spanning pieces that such units fix.

Files of each layout are hidden: Unicode PSTs, ANSI PSTs and OSTs with 4 KiB pages (the
labels ending -ansi and -ost), each judged by the units its own layout lays out.

One row per hidden file: label, seed, cluster, extents, header, pages and blocks (right/
wrong/missing of those that survived, and how many were destroyed), messages read by readpst
and pffexport of those survivable, and "FALSE" where the file is called whole but is not.

Without --all, the labels in CI_LABELS run (what CI runs: quick, and each passes today);
a label in EXPECTED_TO_FAIL that fails is printed as XFAIL and does not fail the run, one that
passes as XPASS (take it off the list). Exit 0 when all pass, 1 on any other failure, 77 when
nothing failed but an image could not be built here (loop devices, root rights or a tool
missing) or readpst/pffexport is missing. --keep DIR keeps the images and recovered files.
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "model"))
import cut_image  # noqa: E402
import make_fs_image  # noqa: E402
import pst_model  # noqa: E402
import pst_repair_check  # noqa: E402

SKIP = 77
# Layouts the engine does not handle yet (see BENCHMARKS.md for how many seeds of each pass).
# A failure of one of these is printed as XFAIL and does not fail the run; a pass as XPASS, so
# that it can come off the list.
# ntfs-512-ost: a block cut in three whose middle lies on the source neither between its start
# and its trailer nor next to a piece of the file is not found: on a grid of 512 bytes the
# middle is looked for only there (seed 6: 1 of 2274 blocks, a middle of 11 sectors 2 MB after
# the start, the trailer 40 MB before it; seeds 1-5 and 7-16 pass).
EXPECTED_TO_FAIL = ["ntfs-512-ost"]
# What CI runs, with seed 1 (the same layout every time): every kind of layout, all of them
# expected to pass.
CI_LABELS = ["ext4-4k", "ext4-4k-two", "ext4-4k-old-copy", "ntfs-512", "ntfs-4k", "ntfs-4k-quick-format",
             "ntfs-4k-interleaved-versions", "fat32-512", "fat32-4k", "cut", "cut-no-header",
             "ext4-1k", "ext4-2k", "ext4-4k-interleaved-versions", "ext4-4k-lost-header",
             "ext4-4k-small", "exfat-4k", "ext4-4k-interleaved-two", "ext4-4k-lost-tree-page",
             "ext4-1k-small", "ext4-2k-small", "ext4-4k-lost-1pct", "ext4-4k-lost-3pct",
             "ext4-4k-ansi", "ntfs-4k-ansi", "fat32-4k-ansi", "ext4-4k-ost", "ntfs-4k-ost", "fat32-4k-ost",
             "ext4-4k-e01"]
# Images read through a container: the file-system image of the layout named, converted to a
# compressed E01 set in segments of 4 MiB (ewfacquirestream). recover reads the set from its
# first segment and must give what the raw image gives, with the raw image's offsets.
CONTAINER_LABELS = {"ext4-4k-e01": "ext4-4k"}


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
    out = {k: {"right": [], "wrong": [], "missing": []} for k in ("header", "page", "block")}
    for kind, ib, size in make_fs_image.units(original):
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
    """(file offset, image offset or None for a fill, length) of one file in report.xml;
    "repaired" for a repaired file, whose runs are its raw file's."""
    text = open(report, encoding="utf-8").read()
    m = re.search(r"<fileobject>\s*<filename>%s</filename>(.*?)</fileobject>" % re.escape(filename), text, re.S)
    if not m:
        return None
    if "<kestrix:repaired_from>" in m.group(1):
        return "repaired"
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
    if runs == "repaired":
        return ""
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


def called_whole(summary, name, check):
    """Who calls a recovered file whole: "recover" when its row's state is "whole" (or, from a
    recover that states none, when its row (no interval or block missing, its own header, not
    repaired, every message readable) and its notes (nothing lost, damaged or missing) say
    so), "check" when `check --format json` finds it sound with both trees whole and every
    listed message readable; "" when neither does."""
    n = int(re.match(r"file(\d+)", name).group(1))
    row = next(r for r in summary["files"] if r["number"] == n)
    notes = [t for t in summary.get("notes", []) if re.match(r"file%d\.[po]st:" % n, t)]
    admits = any(re.search(r"damaged|lost|not found|zeros|may mix|rebuilt|[1-9]\d* (?:\w+ )*missing", t) for t in notes)
    by = []
    if "state" in row:  # the evidence's own verdict, where recover gives one
        if row["state"] == "whole":
            by.append("recover")
    elif (row.get("intervalsMissing") == 0 and row.get("blocksMissing", 0) == 0 and row.get("header") == "own"
            and not row.get("repaired") and row.get("messagesReadable") == row.get("messages") and not admits):
        by.append("recover")
    if check.get("sound") and check.get("nodeTreeWhole") and check.get("blockTreeWhole") and \
            not check.get("blocksMissing") and not check.get("blocksBadCrc") and \
            check.get("messagesReadable") == check.get("messageCount") and check.get("header") == "own":
        by.append("check")
    return "+".join(by)


class Run:
    def __init__(self, cli, scratch, tidy=True):
        self.cli = cli
        self.scratch = scratch
        self.tidy = tidy         # remove each image and its recovered files once judged
        self.passed = self.failed = self.skipped = self.xfailed = 0
        self.baselines = {}
        self.rows = []           # one dict per hidden file, for bench/recover_fs_many.py

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

    def outcome(self, label, ok):
        expected = label in EXPECTED_TO_FAIL
        if ok:
            self.passed += 1
            if expected:
                print("XPASS %s: passes; once it passes for every seed (bench/recover_fs_many.py), "
                      "take it off EXPECTED_TO_FAIL" % label)
        elif expected:
            print("XFAIL %s: expected to fail with the engine of today" % label)
            self.xfailed += 1
        else:
            self.fail(label, "not every surviving block, page and message came back, or a file was "
                             "called whole that is not (table above)")

    def to_e01(self, label, image):
        """The raw image as a compressed E01 set beside it; returns its first segment."""
        if shutil.which("ewfacquirestream") is None:
            raise make_fs_image.Unavailable("ewfacquirestream (ewf-tools) is not installed")
        target = os.path.join(self.scratch, label)
        with open(image, "rb") as raw:
            subprocess.run(["ewfacquirestream", "-q", "-c", "deflate:fast", "-S", "4MiB", "-t", target],
                           stdin=raw, stdout=subprocess.DEVNULL, check=True, timeout=300)
        return target + ".E01"

    def recover(self, label, image):
        """Runs recover on an image; returns (output folder, its JSON summary, why it failed
        or ""), or None when it ran too long or wrote to the image."""
        out = os.path.join(self.scratch, label + ".out")
        shutil.rmtree(out, ignore_errors=True)  # a repeat's
        before = digest(image)
        try:
            r = subprocess.run([self.cli, "recover", image, "-o", out, "--report", "--quiet", "--format", "json"],
                               capture_output=True, timeout=300)
        except subprocess.TimeoutExpired:
            self.fail(label, "recover did not finish within 300 s")
            return None
        if digest(image) != before:
            self.fail(label, "recover changed the image")
            return None
        if r.returncode != 0:
            # What it wrote, if anything, is still judged: a row per hidden file.
            why = "recover exit %d: %s" % (r.returncode, r.stderr.decode(errors="replace").strip())
            print("     %s: %s" % (label, why))
            return out, json.loads(r.stdout or b"{}"), why
        return out, json.loads(r.stdout), ""

    def case(self, label, truth, image, cut=False, lost_header=None, source=None):
        """Recovers one image and judges every PST hidden on it. cut: an image no file system
        explains, where only what its pieces let anyone place is required. lost_header: (the
        sector zeroed at the start of the file's header, the readers' counts from the same
        image with it in place), which a header built from the file must give again. Returns
        the readers' counts of the last file. source: what recover reads when it is not the
        image itself (the image in a container)."""
        done = self.recover(label, source or image)
        if done is None:
            return None
        out, summary, why = done
        recovered = {}
        for name in sorted(os.listdir(out) if os.path.isdir(out) else []):
            if name.endswith((".pst", ".ost")):
                with open(os.path.join(out, name), "rb") as f:
                    recovered[name] = f.read()
        originals = []
        for entry in truth["files"]:
            if "kind" in entry:
                data = make_fs_image.pst_bytes(entry["kind"])
            else:
                data = make_fs_image.read_back(image, entry["extents"], entry["size"])
            if lost_header:
                data = lost_header[0] + data[len(lost_header[0]):]
            originals.append(pst_model.Pst(data))
        ok, first = not why, len(self.rows)
        for entry, orig, match in zip(truth["files"], originals, pair(originals, recovered)):
            destroyed = entry.get("destroyed", {})
            lost = len(orig.messages()) - entry.get("survivable", len(orig.messages()))
            try:
                baseline = self.baseline(orig.data)
                name, j = match if match else ("-", None)
                # The bytes as put together may be kept beside the repaired file: the readers
                # read the file to open.
                opened = re.sub(r"\.raw(\.[po]st)$", r"\1", name)
                got = self.readers(os.path.join(out, opened)) if match else (0, 0)
            except subprocess.TimeoutExpired as e:
                self.fail(label, "%s did not finish within %d s" % (e.cmd[0], e.timeout))
                return None
            if baseline[0] != len(orig.messages()) or not baseline[1]:
                self.fail(label, "from the original %s itself readpst reads %d of %d messages and pffexport %d: "
                          "the readers cannot judge" % (entry["name"], baseline[0], len(orig.messages()), baseline[1]))
                return None
            # Each reader's count of the original, less the messages that lost a block.
            expected = tuple(max(0, b - lost) for b in baseline)
            row = {"label": label, "seed": truth.get("seed", 1), "cluster": truth.get("cluster", 0),
                   "extents": len(entry["extents"]), "hidden": entry["name"], "recovered": name,
                   "destroyed": sum(len(v) for v in destroyed.values()), "lost": destroyed, "j": j,
                   "blocks": len(orig.blocks), "readers": got,
                   "expected": expected, "whole": False, "identical": False, "false_whole": "", "note": ""}
            self.rows.append(row)
            if match is None:
                row["note"] = "no file recovered for it"
                self.row(row)
                ok = False
                continue
            row["whole"] = all(not j[k]["wrong"] and not j[k]["missing"] for k in j)
            row["identical"] = recovered[name] == orig.data
            data_whole = all(not j[k]["wrong"] and not j[k]["missing"] for k in ("page", "block"))
            check = subprocess.run([self.cli, "check", os.path.join(out, name), "--format", "json"],
                                   capture_output=True, timeout=300)
            claim = called_whole(summary, name, json.loads(check.stdout or b"{}"))
            # check cannot tell a header built anew from the file's own; recover can.
            row["false_whole"] = "+".join(c for c in claim.split("+") if c and not
                                          (data_whole and (row["whole"] or c == "check")))
            row["note"] = report_faults(byte_runs(os.path.join(out, "report.xml"), name), recovered[name], image)
            self.row(row)
            if not cut:
                survived = all(set(j[k]["wrong"] + j[k]["missing"]) <= set(destroyed.get(k, [])) for k in j)
                readers_ok = got == expected if not lost else all(g >= e for g, e in zip(got, expected))
                ok &= survived and readers_ok and not row["note"] and not row["false_whole"]
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
                ok &= w == len(whole_units) and s == len(spanning) and not row["note"] and not row["false_whole"]
        self.outcome(label, ok)
        for r in self.rows[first:]:
            r["passed"] = ok
        return got

    HEAD = "%-30s %4s %5s %6s %-10s %-15s %-7s %-13s %-15s %-5s %-9s %-9s %-6s %s"

    def row(self, r):
        def cell(kind):
            if r["j"] is None:
                return "-"
            gone = set(r["lost"].get(kind, []))
            return "/".join(str(len(set(r["j"][kind][v]) - gone)) for v in ("right", "wrong", "missing"))
        print(self.HEAD % (r["label"], r["seed"], r["cluster"], r["extents"], r["hidden"], r["recovered"],
                           cell("header"), cell("page"), cell("block"), r["destroyed"],
                           "%d/%d" % (r["readers"][0], r["expected"][0]), "%d/%d" % (r["readers"][1], r["expected"][1]),
                           "FALSE" if r["false_whole"] else "yes" if r["whole"] else "no",
                           ("called whole by " + r["false_whole"] + "; " if r["false_whole"] else "") +
                           (r["note"] or "report ok")))

    def header(self):
        print("r/w/m: right / wrong / missing (zeros or past the end) of the units that survived on the image; "
              "lost: header, pages and blocks destroyed there; readers: messages read from the recovered file / survivable (read from the "
              "original, less those that lost a block); whole: byte-identical in every unit; FALSE: called "
              "whole but is not")
        print(self.HEAD % ("image", "seed", "clust", "extnts", "hidden", "recovered", "header", "pages r/w/m",
                           "blocks r/w/m", "lost", "readpst", "pffexport", "whole", "report"))

    def image(self, label, seed):
        """Builds and judges one image of make_fs_image.py."""
        start, first = time.monotonic(), len(self.rows)
        source = None
        try:
            truth = make_fs_image.build(CONTAINER_LABELS.get(label, label), self.scratch, seed, log=lambda _m: None)
            if label in CONTAINER_LABELS:
                source = self.to_e01(label, os.path.join(self.scratch, truth["image"]))
        except make_fs_image.Unavailable as e:
            print("skip %s: %s" % (label, e))
            self.skipped += 1
            return
        except make_fs_image.BuildError as e:
            self.fail(label, "the image could not be built: %s" % e)
            return
        self.case(label, truth, os.path.join(self.scratch, truth["image"]), source=source)
        for r in self.rows[first:]:
            r["seconds"] = (time.monotonic() - start) / (len(self.rows) - first)
        if self.tidy:
            os.remove(os.path.join(self.scratch, truth["image"]))
            for name in os.listdir(self.scratch) if source else []:
                if name.startswith(label + ".E"):
                    os.remove(os.path.join(self.scratch, name))
            shutil.rmtree(os.path.join(self.scratch, label + ".out"), ignore_errors=True)

    def cut(self, labels, seed):
        """The cut image, then the same pieces with the header's first sector lost: a header
        is built from the file, and the readers get from it what they got with the file's own."""
        truth = cut_image.build(self.scratch, seed, log=lambda _m: None)
        truth["seed"], truth["cluster"] = seed, cut_image.CLUSTER
        got = self.case("cut", truth, os.path.join(self.scratch, "cut.img"), cut=True)
        if "cut-no-header" in labels and got is not None:
            lost = cut_image.lose_header(self.scratch, truth)
            self.case("cut-no-header", truth, os.path.join(self.scratch, "cut.img"), cut=True, lost_header=(lost, got))


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    p.add_argument("cli")
    p.add_argument("--keep", help="build and recover in this folder and leave everything there")
    p.add_argument("--only", action="append", help="this label alone (repeatable)")
    p.add_argument("--all", action="store_true", help="every label, not only CI's")
    p.add_argument("--seeds", default="1", help="seeds to build each image with: N[,N...]")
    args = p.parse_args(argv[1:])
    labels = args.only or (sorted(make_fs_image.LAYOUTS) + sorted(CONTAINER_LABELS) + ["cut", "cut-no-header"]
                           if args.all else CI_LABELS)
    unknown = set(labels) - set(make_fs_image.LAYOUTS) - set(CONTAINER_LABELS) - {"cut", "cut-no-header"}
    if unknown:
        p.error("unknown label %s (make_fs_image.py --list)" % ", ".join(sorted(unknown)))
    for tool in ("readpst", "pffexport"):
        if shutil.which(tool) is None:
            print("skipped: %s is not installed (scripts/install-deps.sh installs it)" % tool)
            return SKIP
    make_fs_image.stop_on_signal()
    scratch = args.keep or tempfile.mkdtemp(prefix="fs-test-", dir="/tmp")
    os.makedirs(scratch, exist_ok=True)
    try:
        run = Run(os.path.abspath(args.cli), scratch, tidy=not args.keep)
        run.header()
        for seed in (int(s) for s in args.seeds.split(",")):
            for label in labels:
                if label in make_fs_image.LAYOUTS or label in CONTAINER_LABELS:
                    run.image(label, seed)
            if "cut" in labels or "cut-no-header" in labels:
                run.cut(labels, seed)
    finally:
        if not args.keep:
            shutil.rmtree(scratch, ignore_errors=True)
    return finish(run)


def finish(run):
    print("%d passed, %d failed, %d expected to fail, %d skipped" % (run.passed, run.failed, run.xfailed, run.skipped))
    if run.failed:
        return 1
    return SKIP if run.skipped else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
