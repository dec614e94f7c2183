#!/usr/bin/env python3
"""check on generated ANSI PSTs, against two outside readers.

usage: pst_ansi_check.py KESTRIX_CLI

tests/model/pst_generate.py --layout ansi writes an ANSI PST (with extra messages, so that the
node tree has more than one level): check calls it sound, names the ANSI layout, and counts as
many messages, all readable, as readpst exports from it, and as pffexport does where every
message is listed in its folder (the extra ones are node-tree entries alone). With its block tree's
root page zeroed it is damaged; repair refuses it and writes nothing.
Exit 77 (skipped) when readpst or pffexport is missing, or the generator has no --layout.
"""

import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
GENERATE = os.path.join(HERE, "model", "pst_generate.py")
SKIP = 77
TIMEOUT = 300


def run(args):
    return subprocess.run(args, capture_output=True, text=True, timeout=TIMEOUT)


def readpst_count(path, scratch):
    """Messages readpst writes out, one file each (one job: see pst_repair_check.py)."""
    out = os.path.join(scratch, "readpst")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    run(["readpst", "-j", "0", "-D", "-M", "-a", ".none", "-o", out, path])
    return sum(len(files) for _dir, _sub, files in os.walk(out))


def pffexport_count(path, scratch):
    """Messages pffexport writes out of the folder tree: one MessageNNNNN folder each."""
    base = os.path.join(scratch, "pffexport")
    shutil.rmtree(base + ".export", ignore_errors=True)
    run(["pffexport", "-q", "-m", "items", "-f", "text", "-t", base, path])
    count = 0
    for d, subdirs, _files in os.walk(base + ".export"):
        if "Attachments" not in d.split(os.sep):
            count += sum(1 for s in subdirs if re.fullmatch(r"Message\d+", s))
    return count


def check(cli, path):
    r = run([cli, "check", "-q", "--format", "json", path])
    try:
        return r.returncode, json.loads(r.stdout)
    except ValueError:
        raise SystemExit("check printed no report for %s: %s%s" % (path, r.stdout, r.stderr))


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    cli = os.path.abspath(argv[1])
    for tool in ("readpst", "pffexport"):
        if shutil.which(tool) is None:
            print("skipped: %s is not installed (scripts/install-deps.sh installs it)" % tool)
            return SKIP
    if "--layout" not in run([sys.executable, GENERATE, "--help"]).stdout:
        print("skipped: %s has no --layout" % GENERATE)
        return SKIP
    failures = []
    with tempfile.TemporaryDirectory(prefix="kestrix-ansi-") as scratch:
        for extra in (0, 2000):
            pst = os.path.join(scratch, "ansi-%d.pst" % extra)
            g = run([sys.executable, GENERATE, "--layout", "ansi", "--extra-messages", str(extra), "-o", pst])
            if g.returncode != 0:
                failures.append("the generator failed: %s" % g.stderr.strip())
                continue
            status, report = check(cli, pst)
            read, exported = readpst_count(pst, scratch), pffexport_count(pst, scratch)
            print("%s: check %s, %d messages (%d readable); readpst %d, pffexport %d"
                  % (os.path.basename(pst), report.get("verdict"), report.get("messageCount", -1),
                     report.get("messagesReadable", -1), read, exported))
            if status != 0 or report.get("verdict") != "sound" or report.get("layout") != "the ANSI layout":
                failures.append("%s: not sound in the ANSI layout: %s" % (pst, report))
            if not report.get("messageCount") or not report["messageCount"] == report.get("messagesReadable") == read or (
                    extra == 0 and exported != read):
                failures.append("%s: check counts %s messages (%s readable), readpst %d, pffexport %d"
                                % (pst, report.get("messageCount"), report.get("messagesReadable"), read, exported))

            # The block tree's root page lost (ROOT.BREFBBT's offset at byte 196).
            with open(pst, "rb") as f:
                data = bytearray(f.read())
            (root,) = struct.unpack_from("<I", data, 196)
            data[root:root + 512] = bytes(512)
            damaged = os.path.join(scratch, "damaged.pst")
            with open(damaged, "wb") as f:
                f.write(data)
            status, report = check(cli, damaged)
            if status == 0 or report.get("verdict") != "damaged" or report.get("blockTreeWhole"):
                failures.append("%s with its block tree's root zeroed: %s" % (pst, report))
            out = os.path.join(scratch, "repaired.pst")
            r = run([cli, "repair", "-q", damaged, "-o", out])
            if r.returncode == 0 or "repair of ANSI PSTs is not built yet" not in r.stderr or os.path.exists(out):
                failures.append("repair of %s: exit %d, %s" % (damaged, r.returncode, r.stderr.strip()))
    for f in failures:
        print("FAIL: " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
