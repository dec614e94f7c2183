#!/usr/bin/env bash
# The window's main flow on the built-in example, as a user drives it, on an X server (Xvfb):
# scan disk.img, tick every file, 恢复所选文件到文件夹. Every file and the report are written,
# the report names every file, and the mailbox opens in readpst with all its messages. Then the
# same on a disk holding two real mailboxes (enron.pst and a larger one grown from it by the
# test generator): both are written and both open.
#   window_flow_test.sh KESTRIX_CLI KESTRIX_SCREENSHOT SOURCE_DIR
set -euo pipefail
cli=$1
driver=$2
src=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$cli" example --dir "$tmp/ex" --quiet >/dev/null
run() {
  if command -v xvfb-run >/dev/null; then
    xvfb-run -a -s "-screen 0 1366x768x24" "$@"
  else
    QT_QPA_PLATFORM=offscreen "$@"
  fi
}
run "$driver" "$tmp/ex/disk.img" "$tmp/flow.png" flow "$tmp/out" 2>"$tmp/said.txt" ||
  { cat "$tmp/said.txt"; exit 1; }
for f in file1.pst file2.pst report.xml map.svg summary.txt flow.png; do
  [ -s "$tmp/out/$f" ] || [ -s "$tmp/$f" ] || { echo "missing: $f"; exit 1; }
done
for f in file1.pst file2.pst; do
  grep -q "<filename>$f</filename>" "$tmp/out/report.xml" || { echo "report.xml does not name $f"; exit 1; }
  grep -q "^$f (" "$tmp/out/summary.txt" || { echo "summary.txt does not name $f"; exit 1; }
done
# The end message names the source, and says the synthetic file1.pst holds no mailbox.
grep -q "数据源: \"$tmp/ex/disk.img\"" "$tmp/said.txt" || { cat "$tmp/said.txt"; exit 1; }
grep -q "其中没有PST结构" "$tmp/said.txt" || { cat "$tmp/said.txt"; exit 1; }
# readpst opens each mailbox written with every message: N messages in FILE.
opens() {
  command -v readpst >/dev/null || return 0
  rm -rf "$tmp/read" && mkdir "$tmp/read"
  readpst -q -j 0 -D -M -o "$tmp/read" "$1" >/dev/null
  local messages
  messages=$(find "$tmp/read" -type f | wc -l)
  [ "$messages" -eq "$2" ] || { echo "readpst read $messages messages of $1, not $2"; exit 1; }
}
opens "$tmp/out/file2.pst" 71

# Two real mailboxes on one disk, both ticked: both written, and both open.
python3 "$src/tests/model/pst_generate.py" --input "$src/tests/data/enron.pst" --extra-messages 30 -o "$tmp/grown.pst" >/dev/null
head -c 1048576 /dev/urandom >"$tmp/noise"
cat "$tmp/noise" "$src/tests/data/enron.pst" "$tmp/noise" "$tmp/grown.pst" "$tmp/noise" >"$tmp/two.img"
run "$driver" "$tmp/two.img" "$tmp/two.png" flow "$tmp/two" 2>"$tmp/said.txt" || { cat "$tmp/said.txt"; exit 1; }
opens "$tmp/two/file1.pst" 71
opens "$tmp/two/file2.pst" 101
grep -q "<filename>file2.pst</filename>" "$tmp/two/report.xml" || { echo "report.xml does not name file2.pst"; exit 1; }
echo "window flow: every file and the report written; the mailboxes open with 71, 71 and 101 messages"
