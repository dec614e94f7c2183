#!/usr/bin/env bash
# The Windows build under Wine: the engine's tests (GoogleTest built for Windows), then
# kestrix-cli.exe end to end against the Linux build, then the window: its tests, a flow driven
# through it, and kestrix.exe started. Every command runs twice, once with each
# program, in two folders laid out alike with the same relative paths; their outputs, exit
# codes and every file they write must be the same byte for byte. Inputs: the built-in example
# (with enron.pst), its image in an E01, qcow2, VMDK, VHD and VHDX, and enron.pst cut into
# pieces on an image. Last, `sources` lists Wine's drives.
#
#   scripts/test-windows.sh LINUX_BUILD_DIR [WINDOWS_TREE]
#
# WINDOWS_TREE defaults to build/windows-tree (scripts/build-windows.sh --tests). Wine's prefix
# lives in WINDOWS_TREE/wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
linux_cli=$root/${1:?usage: test-windows.sh LINUX_BUILD_DIR [WINDOWS_TREE]}/src/cli/kestrix-cli
tree=$root/${2:-build/windows-tree}
exe=$tree/src/cli/kestrix-cli.exe
wine=${WINE64:-/usr/lib/wine/wine64}
for f in "$linux_cli" "$exe" "$tree/tests/windows/kestrix_tests.exe" "$wine"; do
  [ -e "$f" ] || { echo "test-windows: $f is missing" >&2; exit 1; }
done
export WINEPREFIX=$tree/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine turns Windows file names into Linux ones by the locale's character set: without a UTF-8
# locale (a fresh Debian root sets none) a Chinese name cannot be made ("Invalid name").
export LC_ALL=C.UTF-8
enron=$root/tests/data/enron.pst
work=$(mktemp -d "$tree/e2e.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

echo "== the engine's tests under Wine"
"$wine" "$tree/tests/windows/kestrix_tests.exe" --gtest_brief=1 || fail "kestrix_tests.exe"

# both NAME ARGS...: runs kestrix-cli ARGS in $work/linux and $work/windows; compares stdout,
# stderr and the exit code. A path the program joins from a folder and a name has Windows'
# separator there (ex\disk.img for ex/disk.img); Wine's own notes on stderr ("wine: ...") are
# not the program's.
both() {
  local name=$1; shift
  (cd "$work/linux" && set +e; "$linux_cli" "$@" >"../$name.linux.out" 2>"../$name.linux.err"; echo $? >"../$name.linux.rc")
  (cd "$work/windows" && set +e; "$wine" "$exe" "$@" >"../$name.windows.raw" 2>"../$name.windows.rawerr"; echo $? >"../$name.windows.rc")
  tr '\\' / <"$work/$name.windows.raw" >"$work/$name.windows.out"
  grep -v '^wine: ' "$work/$name.windows.rawerr" | tr '\\' / >"$work/$name.windows.err" || true
  for part in out err rc; do
    cmp -s "$work/$name.linux.$part" "$work/$name.windows.$part" ||
      fail "$name: the $part differs: $(diff "$work/$name.linux.$part" "$work/$name.windows.$part" | head -5)"
  done
  echo "   $name: exit $(cat "$work/$name.linux.rc"), $(wc -c <"$work/$name.linux.out") bytes of output, the same"
}

mkdir -p "$work/linux" "$work/windows"
for side in linux windows; do cp "$enron" "$work/$side/enron.pst"; done
echo "== the example"
both example example --dir ex --pst enron.pst -q
echo "== scan, extract, rebuild, recover on the example's image"
both scan scan ex/disk.img -q
fragments=$(awk -F'\t' 'NR > 1 && $1 ~ /^[0-9]+$/ {print $1}' <("$linux_cli" scan "$work/linux/ex/disk.img" -q --format tsv) | head -3 | paste -sd,)
both extract extract ex/disk.img --fragments "$fragments" -o frag.bin -q
both rebuild rebuild frag.bin -o rebuilt.pst --repair -q
both unicode-name rebuild frag.bin -o 恢复的邮件.pst -q  # the wide command line, UTF-8 names
both recover recover ex/disk.img -o rec --report -q
echo "== the example's image in containers, made here by the formats' own tools"
# A compressed E01 set of 3 MiB segments under a Chinese name: recovered from its first
# segment; the other formats scanned.
ewfacquirestream -q -c deflate:fast -S 3MiB -t "$work/证据" <"$work/linux/ex/disk.img" >/dev/null
for f in qcow2:"-c -O qcow2" vmdk:"-O vmdk -o subformat=streamOptimized" vhd:"-O vpc" vhdx:"-O vhdx"; do
  qemu-img convert -f raw ${f#*:} "$work/linux/ex/disk.img" "$work/disk.${f%%:*}"
done
for side in linux windows; do cp "$work"/证据.E* "$work"/disk.* "$work/$side/"; done
both recover-e01 recover 证据.E01 -o e01rec --report -q
cmp -s "$enron" "$work/windows/e01rec/file2.pst" || fail "the mailbox recovered from the E01 is not enron.pst"
for f in qcow2 vmdk vhd vhdx; do both "scan-$f" scan "disk.$f" -q --format tsv; done
echo "== enron.pst cut into pieces"
python3 bench/make_cut_image.py "$enron" "$work/cut.img" $((48 << 20)) 7 >/dev/null
for side in linux windows; do cp --sparse=always "$work/cut.img" "$work/$side/cut.img"; done
both scan-cut scan cut.img -q --format tsv
both recover-cut recover cut.img -o cutrec -q
both check check cutrec/file1.pst -q
# A damaged copy: a run of zeros across the middle of the file.
for side in linux windows; do
  cp "$work/$side/enron.pst" "$work/$side/damaged.pst"
  dd if=/dev/zero of="$work/$side/damaged.pst" bs=4096 seek=1200 count=64 conv=notrunc status=none
done
both check-damaged check damaged.pst -q
both repair repair damaged.pst -o repaired.pst -q
echo "== refusals"
both refuse-itself extract cut.img --fragments 1 -o cut.img -q
# A link planted at the output's name is replaced, never followed.
for side in linux windows; do echo keep >"$work/$side/victim.txt"; ln -s victim.txt "$work/$side/planted.pst"; done
both planted-link rebuild frag.bin -o planted.pst -q
for side in linux windows; do
  [ "$(cat "$work/$side/victim.txt")" = keep ] && [ ! -L "$work/$side/planted.pst" ] || fail "$side followed the planted link"
done

echo "== every written file, byte for byte"
(cd "$work/linux" && find . -type f | sort) >"$work/linux.files"
(cd "$work/windows" && find . -type f | sort) >"$work/windows.files"
cmp -s "$work/linux.files" "$work/windows.files" || fail "the written files differ: $(diff "$work/linux.files" "$work/windows.files" | head)"
count=0
while read -r f; do
  case $f in
    # The report records when its run started: the one line of it that two runs cannot share.
    */report.xml) cmp -s <(grep -v '<start_time>' "$work/linux/$f") <(grep -v '<start_time>' "$work/windows/$f") ;;
    *) cmp -s "$work/linux/$f" "$work/windows/$f" ;;
  esac || fail "$f differs"
  count=$((count + 1))
done <"$work/linux.files"
echo "   $count files compared"

echo "== the relink kit: the program linked again from it runs"
kit=$(ls "$root"/build/windows/kestrix-*-windows-x64-relink.zip 2>/dev/null | head -1)
if [ -z "$kit" ]; then
  fail "no relink kit in build/windows (scripts/build-windows.sh makes it)"
else
  mkdir "$work/kit" && (cd "$work/kit" && cmake -E tar xf "$kit")
  relinked=$(ls -d "$work"/kit/*/)kestrix-cli.exe
  "$(dirname "$relinked")/relink.sh" || fail "relink.sh failed"
  cmp -s <("$wine" "$relinked" --version 2>/dev/null) <("$wine" "$exe" --version 2>/dev/null) &&
    cmp -s <(cd "$work/windows" && "$wine" "$relinked" scan ex/disk.img -q 2>/dev/null) "$work/scan.windows.raw" ||
    fail "the program linked from the relink kit does not run as the built one"
fi

if [ -f "$tree/src/app/kestrix.exe" ]; then
  echo "== the window"
  # On Wine's own windows: CI runs the Linux window's tests offscreen, a platform the Windows
  # build does not have.
  unset QT_QPA_PLATFORM
  # Wine has no Chinese font of its own: the one the Linux window uses goes into the prefix.
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp /usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc "$WINEPREFIX/drive_c/windows/Fonts/"
  # The window's own tests, on Wine's windows. Wine's desktop process stays with the display it
  # was started on (none, for the engine's tests): it is ended first, and after each display.
  # The screen is larger than the window's first size, so that the tests may grow it.
  "$(dirname "$wine")/wineserver" -k || true
  # A start-up that fails shows a message box and waits: the time is bounded.
  timeout 900 xvfb-run -a -s "-screen 0 1920x1200x24" "$wine" "$tree/tests/windows/kestrix_gui_tests.exe" --gtest_brief=1 ||
    fail "kestrix_gui_tests.exe"
  "$(dirname "$wine")/wineserver" -k || true
  # Driven as a user does, on an X server: the example's image scanned, every file ticked,
  # 恢复所选文件到文件夹, then the damaged copy repaired on the 修复 tab. The mailbox comes back
  # byte for byte, and both files are what the Linux program wrote from the same inputs.
  (cd "$work/windows" && xvfb-run -a -s "-screen 0 1366x768x24" "$wine" "$tree/tests/windows/kestrix_screenshot.exe" \
    ex/disk.img "$work/window.png" flow window-out damaged.pst window-repaired.pst >/dev/null 2>"$work/window.err") ||
    fail "the window's flow: $(tail -3 "$work/window.err")"
  cmp -s "$enron" "$work/windows/window-out/file2.pst" || fail "the window did not write enron.pst as file2.pst"
  cmp -s "$work/linux/rec/file2.pst" "$work/windows/window-out/file2.pst" || fail "the window's file2.pst is not recover's"
  cmp -s "$work/linux/repaired.pst" "$work/windows/window-repaired.pst" || fail "the window's repaired file is not repair's"
  # kestrix.exe itself opens its window, captioned with Kestrix and its version. Wine's desktop
  # process stays with the display it was started on: the last one's is ended first.
  "$(dirname "$wine")/wineserver" -k || true
  caption="Kestrix $("$linux_cli" --version | awk '{print $2}')"
  xvfb-run -a -s "-screen 0 1366x768x24" bash -c '
    "$1" "$2" & for _ in $(seq 120); do
      if xwininfo -root -tree | grep -qF "\"$3"; then kill %1; exit 0; fi; sleep 1
    done; kill %1; exit 1' opens "$wine" "$tree/src/app/kestrix.exe" "$caption" ||
    fail "kestrix.exe opened no window captioned \"$caption\""
  "$(dirname "$wine")/wineserver" -k || true
  rm -rf "$work/windows/window-out" "$work/windows/window-repaired.pst"  # the Linux side has no window
fi

echo "== sources: Wine's drives"
# Wine's C: has no disk extents, and a volume is offered when its disk or its label is known:
# the prefix's C: gets a label (Wine reads it from drive_c/.windows-label).
# Wine reads the label when its server starts: on a new prefix the server is already running
# by now, so it is stopped first and the next command starts it again.
printf 'Kestrix 测试\n' >"$WINEPREFIX/drive_c/.windows-label"
"${WINESERVER:-/usr/lib/wine/wineserver}" -k 2>/dev/null || true
"$wine" "$exe" sources >"$work/sources.out" 2>"$work/sources.err" || fail "sources exited $?"
cat "$work/sources.out"
grep -qE '^C: +Kestrix 测试 \(C:\), HD[0-9]+, ' "$work/sources.out" || fail "sources lists no C: drive"

if [ "$failures" -gt 0 ]; then
  echo "test-windows: $failures failures" >&2
  exit 1
fi
echo "test-windows: all passed"
