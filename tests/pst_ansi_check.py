#!/usr/bin/env python3
"""check on generated ANSI PSTs, against two outside readers.

usage: pst_ansi_check.py KESTRIX_CLI

tests/model/pst_generate.py --layout ansi writes an ANSI PST (with extra messages, so that the
node tree has more than one level): check calls it sound, names the ANSI layout, and counts as
many messages, all readable, as readpst exports from it, and as pffexport does where every
message is listed in its folder (the extra ones are node-tree entries alone). Damaged (its header
zeroed, its block or node tree's root page zeroed; the larger file its block-tree root only),
check calls it damaged, and repair writes an ANSI PST that pffinfo opens, that check calls
sound, and from which readpst and pffexport -m all read every message of the undamaged file.
(The generator writes every tree page into the last interval: a file cut there keeps no index,
which kestrix_tests' LayoutRepair covers.)
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


def pffexport_count(path, scratch, mode="items"):
    """Messages pffexport writes out: one MessageNNNNN folder each, of the folder tree ("items")
    or, with "all", of the orphans too."""
    base = os.path.join(scratch, "pffexport")
    for suffix in (".export", ".orphans", ".recovered"):
        shutil.rmtree(base + suffix, ignore_errors=True)
    run(["pffexport", "-q", "-m", mode, "-f", "text", "-t", base, path])
    count = 0
    for suffix in (".export", ".orphans"):
        for d, subdirs, _files in os.walk(base + suffix):
            if "Attachments" not in d.split(os.sep):
                count += sum(1 for s in subdirs if re.fullmatch(r"Message\d+", s))
    return count


def check(cli, path):
    r = run([cli, "check", "-q", "--format", "json", path])
    try:
        return r.returncode, json.loads(r.stdout)
    except ValueError:
        raise SystemExit("check printed no report for %s: %s%s" % (path, r.stdout, r.stderr))


def damages(pst, extra):
    """The damaged copies of the file: (name, bytes)."""
    with open(pst, "rb") as f:
        data = f.read()
    roots = {"block": struct.unpack_from("<I", data, 196)[0], "node": struct.unpack_from("<I", data, 188)[0]}
    out = [("block-tree root", zeroed(data, roots["block"], 512))]
    if extra == 0:
        out += [("header", zeroed(data, 0, 0x4400)), ("node-tree root", zeroed(data, roots["node"], 512))]
    return out


def zeroed(data, at, length):
    return data[:at] + bytes(length) + data[at + length:]


def repaired_case(cli, scratch, name, data, whole, exported):
    """Repairs the damaged bytes; the failures found, as text. `whole`: the messages of the
    undamaged file, all of which a loss of the header or a tree page keeps."""
    damaged = os.path.join(scratch, "damaged.pst")
    out = os.path.join(scratch, "repaired.pst")
    with open(damaged, "wb") as f:
        f.write(data)
    if os.path.exists(out):
        os.remove(out)
    status, report = check(cli, damaged)
    if status == 0 or report.get("verdict") != "damaged":
        return ["%s lost: check calls it %s" % (name, report.get("verdict"))]
    r = run([cli, "repair", "-q", damaged, "-o", out])
    if r.returncode != 0 or not os.path.exists(out):
        return ["%s lost: repair exit %d, %s" % (name, r.returncode, r.stderr.strip())]
    status, report = check(cli, out)
    readable = report.get("messagesReadable", -1)
    opened = run(["pffinfo", out]).returncode == 0 if shutil.which("pffinfo") else True
    read = readpst_count(out, scratch)
    exported_count = pffexport_count(out, scratch, "all") if exported else readable
    with open(out, "rb") as f:
        version = struct.unpack_from("<H", f.read(12), 10)[0]
    print("%s lost: repaired %s, version %d, %d messages readable; readpst %d, pffexport %s"
          % (name, report.get("verdict"), version, readable, read, exported_count if exported else "-"))
    failures = []
    if status != 0 or report.get("verdict") != "sound" or report.get("layout") != "the ANSI layout" or version not in (14, 15):
        failures.append("%s lost: the repaired file is not a sound ANSI PST: %s" % (name, report))
    if not opened:
        failures.append("%s lost: pffinfo does not open the repaired file" % name)
    if not readable == read == exported_count == whole:
        failures.append("%s lost: %d messages readable by check, readpst %d, pffexport %d, %d in the undamaged file"
                        % (name, readable, read, exported_count, whole))
    return failures


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

            for name, damaged_bytes in damages(pst, extra):
                failures += repaired_case(cli, scratch, name, damaged_bytes, read, extra == 0)
    for f in failures:
        print("FAIL: " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
