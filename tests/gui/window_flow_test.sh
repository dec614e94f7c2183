#!/usr/bin/env bash
# The window's main flow on the built-in example, as a user drives it, on an X server (Xvfb):
# scan disk.img, tick every file, 恢复所选文件到文件夹. Every file and the report are written,
# the report names every file, and the mailbox opens in readpst with all its messages.
#   window_flow_test.sh KESTRIX_CLI KESTRIX_SCREENSHOT
set -euo pipefail
cli=$1
driver=$2
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
if command -v readpst >/dev/null; then
  mkdir "$tmp/read"
  readpst -q -j 0 -D -M -o "$tmp/read" "$tmp/out/file2.pst" >/dev/null
  messages=$(find "$tmp/read" -type f | wc -l)
  [ "$messages" -eq 71 ] || { echo "readpst read $messages messages of file2.pst, not 71"; exit 1; }
fi
echo "window flow: both files, report.xml, map.svg and summary.txt written; file2.pst opens with 71 messages"
