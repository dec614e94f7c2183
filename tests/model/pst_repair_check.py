#!/usr/bin/env python3
"""kestrix-cli check and repair against damaged copies of enron.pst and two outside readers.

usage: pst_repair_check.py KESTRIX_CLI

For each way a disk damages the file (pst_damage.SCENARIOS), repair must write a file that
pffinfo opens, from which readpst reads at least 90% of the messages whose blocks all
survived (counted by pst_model on the original, not by the code under test), that check
then calls sound, and whose header, trees and allocation maps pst_model finds sound; the
damaged input must come out of the repair unchanged. Also: the file the built-in example
rebuilds (with its fixed header block) is damaged for check and read whole by readpst and
pffexport after repair; a sound file is repaired into an identical copy; an empty file and
random bytes are refused without an output; files made by pst_generate read whole, and its
three-level node tree survives the loss of a middle page. Exit 77 when a reader is missing.
"""

import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

import pst_damage
import pst_generate
import pst_model

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "fs"))
import cut_image  # noqa: E402

ENRON = os.path.join(HERE, "..", "data", "enron.pst")
SKIP = 77
TIMEOUT = 120
SHARE = 0.9


def run(args):
    return subprocess.run(args, capture_output=True, timeout=TIMEOUT)


def readpst_count(path, scratch, attachments=True):
    """Messages readpst writes out, one file each. One job: readpst's parallel jobs share one
    file offset and now and then read a block from the wrong place. Without attachments,
    the thousands of messages of a generated file do not write 700 MB of copies."""
    out = os.path.join(scratch, "readpst")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    run(["readpst", "-j", "0", "-D", "-M"] + ([] if attachments else ["-a", ".none"]) + ["-o", out, path])
    return sum(len(files) for _dir, _sub, files in os.walk(out))


def pffexport_count(path, scratch, mode="all"):
    """Messages pffexport writes out: one MessageNNNNN folder each, under the folder tree and
    among the orphans (recovered deleted items are not counted; nor are attached messages).
    mode "items" is pffexport's default: the folder tree only, without its scan of free space."""
    base = os.path.join(scratch, "pffexport")
    for suffix in (".export", ".orphans", ".recovered"):
        shutil.rmtree(base + suffix, ignore_errors=True)
    run(["pffexport", "-q", "-m", mode, "-f", "text", "-t", base, path])
    count = 0
    for suffix in (".export", ".orphans"):
        for d, subdirs, _files in os.walk(base + suffix):
            if "Attachments" in d.split(os.sep):
                continue
            count += sum(1 for s in subdirs if re.fullmatch(r"Message\d+", s))
    return count


def model_verdict(path):
    """What pst_model finds wrong with the file's header, trees and allocation maps, as
    "; ..." to append to a report, or "" when the trees read as sound and the maps cover
    every block and page in them (or are marked for rebuilding). Messages are left to the
    readers: a repair may keep a message that lost an attachment."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        pst = pst_model.Pst(data)
        faults = pst.allocation_faults() if pst.header.amap_valid else []
    except pst_model.PstError as e:
        return "; the model reads no sound PST: %s" % e
    if faults:
        return "; the allocation maps call %d live blocks or pages free, the first at %#x" % (
            len(faults), faults[0][0])
    return ""


def has_command(cli, name):
    """Whether kestrix-cli has the command. --help after an unknown command prints the
    top-level help and exits 0, so look for the command's own usage line."""
    usage = run([cli, name, "--help"]).stdout
    return re.search(rb"^Usage: \S+ %s\b" % name.encode(), usage, re.M) is not None


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Checker:
    def __init__(self, cli, scratch):
        self.cli = cli
        self.scratch = scratch
        self.failures = 0
        self.passed = 0

    def expect(self, ok, name, detail):
        print("%s %s: %s" % ("ok  " if ok else "FAIL", name, detail))
        if ok:
            self.passed += 1
        else:
            self.failures += 1

    def repair(self, src, dst):
        return run([self.cli, "repair", "--quiet", src, "-o", dst])

    def check(self, path):
        return run([self.cli, "check", path]).returncode

    def repaired_check(self, path):
        """check's exit status on a repaired file, taking as sound one whose only fault is
        blocks that read while their CRC fails: the repair keeps them as readers read them
        (their bytes are damaged, and check goes on saying so)."""
        r = run([self.cli, "check", "--format", "json", path])
        if r.returncode == 0:
            return 0, ""
        try:
            j = json.loads(r.stdout)
        except ValueError:
            return r.returncode, ""
        only_crcs = (j["blocksBadCrc"] > 0 and j["nodeTreeWhole"] and j["blockTreeWhole"] and j["blocksMissing"] == 0
                     and j["messagesReadable"] == j["messageCount"] and j["foldersUnparsed"] == 0 and j["lengthSane"])
        return (0, ", %d blocks CRC failed, kept" % j["blocksBadCrc"]) if only_crcs else (r.returncode, "")

    def repaired_case(self, name, original, damaged, attachments=True, exported=True):
        """Repairs damaged bytes and holds the result against the messages of original that
        survived the damage, as readpst reads them and, unless exported is False, pffexport
        (which lists a folder's messages from its contents table only)."""
        src = os.path.join(self.scratch, "damaged.pst")
        dst = os.path.join(self.scratch, "repaired.pst")
        with open(src, "wb") as f:
            f.write(damaged)
        if os.path.exists(dst):
            os.remove(dst)
        before = digest(src)
        survived = pst_model.surviving_messages(original, damaged)
        r = self.repair(src, dst)
        if r.returncode != 0 or not os.path.exists(dst):
            self.expect(False, name, "repair exit %d, output %s: %s"
                        % (r.returncode, "written" if os.path.exists(dst) else "missing",
                           r.stderr.decode(errors="replace").strip()))
            return
        read = readpst_count(dst, self.scratch, attachments)
        exported = pffexport_count(dst, self.scratch, "items") if exported else survived
        info = run(["pffinfo", dst]).returncode
        check, kept = self.repaired_check(dst)
        untouched = digest(src) == before
        structure = model_verdict(dst)
        self.expect(read >= SHARE * survived and exported >= SHARE * survived and info == 0 and check == 0 and untouched
                    and not structure, name,
                    "readpst reads %d, pffexport %d, blocks survived for %d; pffinfo exit %d, check exit %d after repair%s%s%s"
                    % (read, exported, survived, info, check, kept, "" if untouched else "; the INPUT CHANGED", structure))


    def recovered_case(self, name, original, damaged, layout="whole"):
        """Lays damaged bytes on an image and runs recover: whole between random bytes, in runs
        of map intervals out of order ("intervals"), or cut into scattered 4 KiB-cluster pieces
        ("clusters"). file1.pst must open and hold the surviving messages; a damaged file is
        kept as put together in file1.raw.pst, a sound one is written byte for byte with no
        such copy."""
        work = os.path.join(self.scratch, "recover")
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        image = os.path.join(work, "cut.img")
        rng = random.Random(5)
        if layout == "clusters":
            src = os.path.join(work, "damaged.pst")
            with open(src, "wb") as f:
                f.write(damaged)
            cut_image.build(work, seed=11, pst_path=src, log=lambda _text: None)
        else:
            cuts = [0, len(damaged)]
            if layout == "intervals":  # every few intervals, the header staying with the first
                at = pst_damage.interval_start(1)
                while at < len(damaged):
                    cuts.append(at)
                    at += rng.randint(1, 6) * (pst_damage.interval_start(1) - pst_damage.interval_start(0))
            cuts = sorted(set(cuts))
            pieces = [damaged[a:b] for a, b in zip(cuts, cuts[1:])]
            rng.shuffle(pieces)
            with open(image, "wb") as f:
                for piece in pieces:
                    f.write(rng.randbytes(rng.randint(1, 8) << 12) + piece + bytes(-len(piece) % 4096))
                f.write(rng.randbytes(16 << 12))
        out = os.path.join(work, "out")
        r = run([self.cli, "recover", "--quiet", "--format", "json", image, "-o", out])
        pst, raw = os.path.join(out, "file1.pst"), os.path.join(out, "file1.raw.pst")
        if r.returncode != 0 or not os.path.exists(pst):
            self.expect(False, name + " (recover)", "recover exit %d: %s"
                        % (r.returncode, r.stderr.decode(errors="replace").strip()))
            return
        if damaged == original:
            same = digest(pst) == hashlib.sha256(original).hexdigest()
            self.expect(same and not os.path.exists(raw), name + " (recover)",
                        "file1.pst %s, %s" % ("identical" if same else "DIFFERS",
                                              "a .raw copy was WRITTEN" if os.path.exists(raw) else "no .raw copy"))
            return
        survived = pst_model.surviving_messages(original, damaged)
        read = readpst_count(pst, self.scratch)
        info = run(["pffinfo", pst]).returncode
        # A repaired file keeps the bytes as put together (a lost header alone is built anew
        # while the file is put together, and the file is then sound as written).
        repaired = json.loads(r.stdout)["files"][0]["repaired"]
        self.expect(read >= SHARE * survived and info == 0 and repaired == os.path.exists(raw), name + " (recover)",
                    "readpst reads %d, blocks survived for %d; pffinfo exit %d; %s, file1.raw.pst %s"
                    % (read, survived, info, "repaired" if repaired else "sound as written",
                       "kept" if os.path.exists(raw) else "not written"))


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    cli = os.path.abspath(argv[1])
    for tool in ("readpst", "pffinfo", "pffexport"):
        if shutil.which(tool) is None:
            print("skipped: %s is not installed (scripts/install-deps.sh installs it)" % tool)
            return SKIP
    with open(ENRON, "rb") as f:
        enron = f.read()
    total = len(pst_model.messages(enron))

    with tempfile.TemporaryDirectory(prefix="kestrix-pst-") as scratch:
        c = Checker(cli, scratch)

        # A node tree of three levels, made by the generator and read whole (needs no
        # kestrix-cli, so it runs before the commands are looked for).
        deep_path = os.path.join(scratch, "deep.pst")
        extra = 3000
        pst_generate.Generator(enron).write(deep_path, extra, 0, lambda _done: None)
        with open(deep_path, "rb") as f:
            deep = f.read()
        model = pst_model.Pst(deep)
        levels, found = model.depth("NBT"), len(model.messages())
        read = readpst_count(deep_path, scratch, attachments=False)
        structure = model_verdict(deep_path)
        c.expect(levels >= 3 and found == read == total + extra and not structure, "generated deep file",
                 "node tree %d levels, model finds %d and readpst reads %d of %d messages%s"
                 % (levels, found, read, total + extra, structure))

        # Copies of every message with copies of their blocks, as the benchmarks' big files.
        copies_path = os.path.join(scratch, "copies.pst")
        summary = pst_generate.Generator(enron).write(copies_path, 0, 2 * len(enron), lambda _done: None)
        want = total * (1 + summary["copies"])
        with open(copies_path, "rb") as f:
            found = len(pst_model.messages(f.read()))
        read = readpst_count(copies_path, scratch)
        structure = model_verdict(copies_path)
        c.expect(summary["copies"] >= 1 and found == read == want and not structure, "generated copies file",
                 "%d copies, model finds %d and readpst reads %d of %d messages%s"
                 % (summary["copies"], found, read, want, structure))
        os.remove(copies_path)

        missing = [cmd for cmd in ("check", "repair") if not has_command(cli, cmd)]
        if missing:
            c.expect(False, "kestrix-cli", "%s has no %s command" % (cli, " or ".join(missing)))
            print("%d passed, %d failed" % (c.passed, c.failures))
            return 1

        # A sound file: check passes, repair copies it byte for byte and will not overwrite it.
        out = os.path.join(scratch, "sound-repaired.pst")
        r = c.repair(ENRON, out)
        same = r.returncode == 0 and os.path.exists(out) and digest(out) == digest(ENRON)
        refused = c.repair(out, out).returncode != 0 and os.path.exists(out) and digest(out) == digest(ENRON)
        c.expect(c.check(ENRON) == 0 and same and refused, "sound input",
                 "check exit 0, repair writes an identical copy, repair onto its own input refused")

        # Slack past the declared end, as an undelete tool leaves it: check calls the file
        # sound and names the slack, repair gives back the file byte for byte.
        for name, tail in (("random slack", random.Random(4).randbytes(3584)), ("zero slack", bytes(512))):
            src = os.path.join(scratch, "slack.pst")
            with open(src, "wb") as f:
                f.write(enron + tail)
            checked = run([cli, "check", "--format", "json", src])
            report = json.loads(checked.stdout) if checked.returncode in (0, 1) else {}
            r = c.repair(src, out)
            said = "cut %d bytes of slack" % len(tail) in r.stdout.decode()
            same = r.returncode == 0 and digest(out) == digest(ENRON)
            c.expect(checked.returncode == 0 and report.get("slackBytes") == len(tail) and same and said, name,
                     "check exit %d, slackBytes %s; repair exit %d, %s, %s"
                     % (checked.returncode, report.get("slackBytes"), r.returncode,
                        "identical to enron.pst" if same else "output DIFFERS", "says so" if said else "NOT said"))

        for name, damage in pst_damage.SCENARIOS.items():
            c.repaired_case(name, enron, damage(enron))
            c.recovered_case(name, enron, damage(enron))
        c.recovered_case("fragmented out of order, header lost", enron, pst_damage.header_lost(enron), "clusters")
        c.recovered_case("fragmented out of order, header and first map page lost", enron,
                         pst_damage.header_and_first_map_lost(enron), "clusters")
        for layout in ("whole", "intervals"):
            c.recovered_case("sound, " + layout, enron, enron, layout)

        # The file the built-in example rebuilds from fragments carries the fixed header block.
        example = os.path.join(scratch, "example")
        r = run([cli, "example", "--quiet", "--dir", example])
        rebuilt = os.path.join(example, "enron-rebuilt.pst")
        if r.returncode != 0 or not os.path.exists(rebuilt):
            c.expect(False, "rebuilt example", "example exit %d, no %s" % (r.returncode, rebuilt))
        else:
            before = c.check(rebuilt)
            out = os.path.join(scratch, "rebuilt-repaired.pst")
            r = c.repair(rebuilt, out)
            ok = r.returncode == 0 and os.path.exists(out)
            read = readpst_count(out, scratch) if ok else 0
            exported = pffexport_count(out, scratch) if ok else 0
            after = c.check(out) if ok else -1
            structure = model_verdict(out) if ok else ""
            c.expect(before == 1 and ok and read == total and exported == total and after == 0 and not structure,
                     "rebuilt example", "check exit %d before, repair exit %d, readpst %d and pffexport %d of %d, "
                     "check exit %d after%s" % (before, r.returncode, read, exported, total, after, structure))

        # Nothing of a PST at all: no output.
        rng = random.Random(8)
        for name, data in (("empty file", b""), ("random bytes", rng.randbytes(3 << 20))):
            src = os.path.join(scratch, "junk.bin")
            out = os.path.join(scratch, "junk-repaired.pst")
            with open(src, "wb") as f:
                f.write(data)
            r = c.repair(src, out)
            checked = c.check(src)
            c.expect(r.returncode == 1 and not os.path.exists(out) and checked == 1, name,
                     "repair exit %d, output %s, check exit %d"
                     % (r.returncode, "written" if os.path.exists(out) else "none", checked))

        # A folder of 3,000 messages: a contents table that large is not written anew yet.
        c.repaired_case("middle node-tree page lost", deep, pst_damage.middle_nbt_page_lost(deep), attachments=False,
                        exported=False)

    print("%d passed, %d failed" % (c.passed, c.failures))
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
