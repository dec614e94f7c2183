#!/usr/bin/env python3
"""Turns link commands of a build tree (one a line, as `ninja -t commands` prints them) into a
relink script: every object and archive they name is copied into KIT/obj or KIT/lib and named
there by a relative path, the output is written in KIT, and KIT/relink.sh runs the commands.

usage: relink_commands.py TREE KIT LINKS
"""
import os
import shlex
import shutil
import sys


def command_of(line):
    """The link itself out of "cd TREE && : && COMPILER ... && :" or "COMPILER ..."."""
    parts, part = [], []
    for word in shlex.split(line):
        if word == "&&":
            parts.append(part)
            part = []
        else:
            part.append(word)
    parts.append(part)
    return max(parts, key=len)


def main():
    tree, kit, links = sys.argv[1:]
    script = ["#!/bin/sh", "# Links the programs from the files beside this script.", "set -e", 'cd "$(dirname "$0")"']
    for line in open(links):
        cmd = command_of(line)
        out = [os.path.basename(cmd[0])]  # the user's own mingw-w64 compiler driver
        words = iter(cmd[1:])
        for word in words:
            if word == "-o":
                out += ["-o", os.path.basename(next(words))]
                continue
            if "--out-implib" in word:
                continue
            path = word if os.path.isabs(word) else os.path.join(tree, word)
            if word.endswith((".obj", ".o", ".res", ".a")) and os.path.isfile(path):
                folder = "lib" if word.endswith(".a") else "obj"
                base = os.path.basename(word) if folder == "lib" else word.strip("/").replace("/", "_")
                shutil.copy(path, os.path.join(kit, folder, base))
                out.append(folder + "/" + base)
                continue
            out.append(word)
        script.append(" ".join(shlex.quote(w) for w in out))
    with open(os.path.join(kit, "relink.sh"), "w") as f:
        f.write("\n".join(script) + "\n")
    os.chmod(os.path.join(kit, "relink.sh"), 0o755)


if __name__ == "__main__":
    main()
