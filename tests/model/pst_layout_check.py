#!/usr/bin/env python3
"""The generator's ANSI and 4 KiB-page files against two outside readers.

usage: pst_layout_check.py [KESTRIX_CLI]

Grows enron.pst by one copy of its messages and 200 extra node entries, re-lays that file in
the ANSI and the 4 KiB-page layout, and expects pffinfo to name each layout, and readpst,
pffexport and pst_model (the yardstick of the other tests) to read as many messages from each
as from the Unicode file, pst_model with as many blocks. The 4 KiB file must
hold deflated blocks and (given KESTRIX_CLI) pass check with the Unicode file's counts. The
same input gives the same bytes. Exit 77 when a reader is missing.
"""

import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

import pst_model
import pst_repair_check as readers

GENERATOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pst_generate.py")
KIND = {"unicode": "64-bit", "ansi": "32-bit", "4k": "64-bit with 4k page"}
EXTRA = 200


def generate(path, lay):
    r = subprocess.run([sys.executable, GENERATOR, "--layout", lay, "--extra-messages", str(EXTRA),
                        "--size", str(2 * os.path.getsize(readers.ENRON)), "-o", path],
                       capture_output=True, text=True, timeout=600)
    if r.returncode:
        raise SystemExit("pst_generate.py --layout %s failed: %s" % (lay, r.stderr))
    return r.stdout


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).digest()


def file_kind(path):
    out = readers.run(["pffinfo", path]).stdout.decode()
    return next((line.split(":", 1)[1].strip() for line in out.splitlines() if "File type:" in line), "none")


def model_counts(path):
    """(messages, blocks) pst_model reads, or the fault it stops at."""
    with open(path, "rb") as f:
        try:
            pst = pst_model.Pst(f.read())
        except pst_model.PstError as e:
            return str(e)
    return len(pst.messages()), len(pst.blocks)


def check_counts(cli, path):
    r = readers.run([cli, "check", "--format", "json", path])
    report = json.loads(r.stdout) if r.returncode in (0, 1) else {}
    return r.returncode, report.get("verdict"), report.get("messagesReadable"), len(report.get("folderList", []))


def main(argv):
    cli = argv[1] if len(argv) > 1 else None
    for tool in ("pffinfo", "pffexport", "readpst"):
        if not shutil.which(tool):
            print("skipped: %s is not installed (scripts/install-deps.sh installs it)" % tool)
            return readers.SKIP
    failures = 0
    with tempfile.TemporaryDirectory(prefix="kestrix-layouts-") as scratch:
        counts, paths = {}, {}
        for lay in ("unicode", "ansi", "4k"):
            paths[lay] = os.path.join(scratch, "grown." + lay)
            summary = generate(paths[lay], lay)
            counts[lay] = (file_kind(paths[lay]), readers.readpst_count(paths[lay], scratch, attachments=False),
                           readers.pffexport_count(paths[lay], scratch), summary, model_counts(paths[lay]))
        base = counts["unicode"]
        for lay in ("ansi", "4k"):
            kind, read, exported, summary, model = counts[lay]
            ok = kind == KIND[lay] and read == base[1] and exported == base[2] and base[1] > EXTRA and model == base[4]
            if lay == "4k":
                ok = ok and " 0 deflated" not in summary and "deflated" in summary
            print("%s %s: pffinfo says %r, readpst reads %d, pffexport %d, pst_model %s (the Unicode file: %d, %d, %s)"
                  % ("ok  " if ok else "FAIL", lay, kind, read, exported, model, base[1], base[2], base[4]))
            failures += not ok

        again = os.path.join(scratch, "again.4k")
        generate(again, "4k")
        same = digest(again) == digest(paths["4k"])
        print("%s 4k: a second run writes the same bytes" % ("ok  " if same else "FAIL"))
        failures += not same

        if cli:
            want = check_counts(cli, paths["unicode"])
            got = check_counts(cli, paths["4k"])
            ok = got[0] == 0 and got == want
            print("%s 4k: check exit %d, %s, %s readable messages in %d folders (the Unicode file: exit %d, %s, "
                  "%s in %d)" % (("ok  " if ok else "FAIL",) + got + want))
            failures += not ok
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
