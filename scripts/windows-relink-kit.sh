#!/usr/bin/env bash
# Makes the relink kit of a Windows build: what a user needs to link kestrix-cli.exe (and the
# window, kestrix.exe) again against a modified version of one of the LGPL libraries linked
# into them: the disk-image libraries and Qt.
#
#   scripts/windows-relink-kit.sh WINDOWS_TREE ZIP
#
# The zip holds the programs' own object files and archives as the build linked them, the
# libraries as linked (lib/libewf.a, lib/libQt6Widgets.a, ...), the recipes that built those,
# relink.sh with the build's own link commands, and README.txt. relink.sh needs only mingw-w64.
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

# The last command ninja runs for a program is its link; the window is in the kit where it was
# built.
programs=(src/cli/kestrix-cli.exe)
if [ -f "$tree/src/app/kestrix.exe" ]; then programs+=(src/app/kestrix.exe); fi
for program in "${programs[@]}"; do ninja -C "$tree" -t commands "$program" | tail -1; done >"$work/links"
python3 scripts/relink_commands.py "$tree" "$kit" "$work/links"
cp scripts/build-windows-image-libs.sh "$kit/build-image-libs.sh"
cp scripts/build-windows-qt.sh "$kit/build-qt.sh"
cat >"$kit/README.txt" <<'EOF'
Relinking the Kestrix programs

kestrix-cli.exe links in libewf, libqcow, libvmdk, libvhdi and libbfio, and the window,
kestrix.exe, links in Qt (Core, Gui, Widgets and its Windows plugins) besides: free software
under the GNU LGPL, version 3 (their notices are in NOTICES.txt beside the programs). This kit
lets you link the programs again with a modified version of any of them:

  obj/          the programs' own object files, as the build linked them
  lib/          the programs' own archives, and the libraries as linked (libewf.a,
                libQt6Widgets.a, ...)
  relink.sh     the build's link commands, with paths into this folder
  build-image-libs.sh, build-qt.sh
                how the libraries were built: from Debian 12's source packages, with mingw-w64
                (the image libraries each one object whose only global symbols are its own API;
                Qt static, with the options listed there)

Build your version of a library the way those scripts do, put it in lib/ under the same name,
and run ./relink.sh on a machine with mingw-w64 (Debian: g++-mingw-w64-x86-64-posix). It
writes the programs here.
EOF
rm -f "$zip"
(cd "$work" && cmake -E tar cf "$zip" --format=zip "$name")
