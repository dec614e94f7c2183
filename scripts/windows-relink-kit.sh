#!/usr/bin/env bash
# Makes the relink kit of a Windows build: what a user needs to link kestrix-cli.exe again
# against a modified version of one of the LGPL disk-image libraries linked into it.
#
#   scripts/windows-relink-kit.sh WINDOWS_TREE ZIP
#
# The zip holds the program's own object files and archives as the build linked them, the image
# libraries as linked (lib/libewf.a, ...), the recipe that built those (build-image-libs.sh),
# relink.sh with the build's own link command, and README.txt. relink.sh needs only mingw-w64.
set -euo pipefail
cd "$(dirname "$0")/.."
tree=${1:?usage: windows-relink-kit.sh WINDOWS_TREE ZIP}
zip=$(realpath -m "${2:?usage: windows-relink-kit.sh WINDOWS_TREE ZIP}")
root=${zip%.zip}
name=$(basename "$root")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
kit=$work/$name
mkdir -p "$kit/obj" "$kit/lib"

# The last command ninja runs for the program is its link; its files are copied into the kit and
# named there by relative paths.
ninja -C "$tree" -t commands src/cli/kestrix-cli.exe | tail -1 >"$work/link"
python3 - "$tree" "$kit" "$work/link" <<'EOF'
import os, shlex, shutil, sys
tree, kit, link = sys.argv[1:]
words = shlex.split(open(link).read())
# "cd TREE && : && COMPILER ... && :" or "COMPILER ...": the command between the separators.
parts, part = [], []
for w in words:
    if w == "&&":
        parts.append(part)
        part = []
    else:
        part.append(w)
parts.append(part)
cmd = max(parts, key=len)
out, skip = [], False
for i, w in enumerate(cmd):
    if skip:
        skip = False
        continue
    if i == 0:
        out.append(os.path.basename(w))  # the user's own mingw-w64 compiler driver
        continue
    if w == "-o":
        out += ["-o", "kestrix-cli.exe"]
        skip = True
        continue
    if "--out-implib" in w:
        continue
    path = w if os.path.isabs(w) else os.path.join(tree, w)
    if w.endswith((".obj", ".o", ".a")) and os.path.isfile(path):
        folder = "lib" if w.endswith(".a") else "obj"
        base = os.path.basename(w)
        if folder == "obj":
            base = w.replace("/", "_")
        shutil.copy(path, os.path.join(kit, folder, base))
        out.append(folder + "/" + base)
        continue
    out.append(w)
with open(os.path.join(kit, "relink.sh"), "w") as f:
    f.write("#!/bin/sh\n# Links kestrix-cli.exe from the files beside this script.\nset -e\ncd \"$(dirname \"$0\")\"\n")
    f.write(" ".join(shlex.quote(w) for w in out) + "\n")
os.chmod(os.path.join(kit, "relink.sh"), 0o755)
EOF
cp scripts/build-windows-image-libs.sh "$kit/build-image-libs.sh"
cat >"$kit/README.txt" <<'EOF'
Relinking kestrix-cli.exe

kestrix-cli.exe links in libewf, libqcow, libvmdk, libvhdi and libbfio, free software under the
GNU LGPL (version 3 or later; their notices are in NOTICES.txt beside the program). This kit
lets you link the program again with a modified version of any of them:

  obj/          the program's own object files, as the build linked them
  lib/          the program's own archives, and the image libraries as linked (libewf.a, ...)
  relink.sh     the build's link command, with paths into this folder
  build-image-libs.sh
                how the image libraries were built: from Debian 12's source packages, with
                mingw-w64, each library one object whose only global symbols are its own API

Build your version of a library the way build-image-libs.sh does, put it in lib/ under the same
name, and run ./relink.sh on a machine with mingw-w64 (Debian: g++-mingw-w64-x86-64-posix and
libz-mingw-w64-dev). It writes kestrix-cli.exe here.
EOF
rm -f "$zip"
(cd "$work" && cmake -E tar cf "$zip" --format=zip "$name")
