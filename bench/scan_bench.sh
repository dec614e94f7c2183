#!/usr/bin/env bash
# Scan throughput and peak memory of `kestrix-cli scan` on a page-cached disk image, measured
# against `cat IMAGE > /dev/null` in the same run.
#
#   bench/scan_bench.sh [BUILD_DIR] [SIZE_MIB] [REPEATS]
#
# BUILD_DIR defaults to build-bench (configure it with -DCMAKE_BUILD_TYPE=Release), SIZE_MIB
# to 2304 (2.25 GiB), REPEATS to 7. The image is made in BUILD_DIR/bench-data (or $BENCH_DATA)
# and removed on exit. Needs free memory for the whole image in the page cache.
#
# Each repeat times cat and the scan back to back (in alternating order); the script prints the best and
# the median of each and their throughput ratio (cat time / scan time: 1.0 means the scan reads
# as fast as cat). The scan's output is checked against the fragment list the generator wrote.
# Peak resident memory comes from GNU time (`/usr/bin/time -v`, Debian package `time`).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
size_mib=${2:-2304}
repeats=${3:-7}
data=${BENCH_DATA:-$build/bench-data}
cli=${KESTRIX_CLI:-$build/src/cli/kestrix-cli}  # another build of the program can be compared
gen=$build/bench/make_bench_data

for tool in "$cli" "$gen" /usr/bin/time; do
  [ -x "$tool" ] || { echo "scan_bench: $tool is missing (ninja -C $build kestrix-cli make_bench_data; apt-get install time)" >&2; exit 1; }
done
mkdir -p "$data"
image=$data/scan-bench.img
trap 'rm -f "$image" "$image.expected.tsv" "$data/scan-out.tsv"' EXIT

echo "== making a ${size_mib} MiB image"
"$gen" image "$image" "$size_mib"
bytes=$(stat -c %s "$image")

echo "== warming the page cache"
cat "$image" > /dev/null
cat "$image" > /dev/null

. bench/timing.sh

cat_ns=()
scan_ns=()
for ((i = 1; i <= repeats; i++)); do
  # Alternate which command goes first.
  if (( i % 2 )); then
    c=$(elapsed sh -c 'cat "$1" > /dev/null' sh "$image")
    s=$(elapsed sh -c '"$1" scan --quiet --format tsv "$2" > "$3"' sh "$cli" "$image" "$data/scan-out.tsv")
  else
    s=$(elapsed sh -c '"$1" scan --quiet --format tsv "$2" > "$3"' sh "$cli" "$image" "$data/scan-out.tsv")
    c=$(elapsed sh -c 'cat "$1" > /dev/null' sh "$image")
  fi
  cat_ns+=("$c")
  scan_ns+=("$s")
  printf 'run %d: cat %.3f s, scan %.3f s\n' "$i" "$(calc "$c / 1000000000")" "$(calc "$s / 1000000000")"
done
if ! cmp -s "$data/scan-out.tsv" "$image.expected.tsv"; then
  echo "scan_bench: the scan's fragment list differs from the expected one:" >&2
  diff "$image.expected.tsv" "$data/scan-out.tsv" >&2 || true
  exit 1
fi
echo "scan output checked: $(( $(wc -l < "$data/scan-out.tsv") - 1 )) fragments, as expected"

cb=$(best "${cat_ns[@]}"); cm=$(median "${cat_ns[@]}")
sb=$(best "${scan_ns[@]}"); sm=$(median "${scan_ns[@]}")
mibs() { calc "$bytes * 1000000000 / $1 / 1048576" | cut -d. -f1; }
echo "== throughput over $bytes bytes, $repeats runs"
printf '  cat  : best %s MiB/s, median %s MiB/s\n' "$(mibs "$cb")" "$(mibs "$cm")"
printf '  scan : best %s MiB/s, median %s MiB/s\n' "$(mibs "$sb")" "$(mibs "$sm")"
printf '  ratio scan/cat: best %.3f, median %.3f (target >= 0.9)\n' \
  "$(calc "$cb / $sb")" "$(calc "$cm / $sm")"

echo "== peak resident memory"
/usr/bin/time -v "$cli" scan --quiet --format tsv "$image" 2> "$data/time.txt" > /dev/null
rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$data/time.txt")
rm -f "$data/time.txt"
printf '  kestrix-cli scan: %s KiB = %.1f MiB (target <= 64 MiB)\n' "$rss" "$(calc "$rss / 1024")"
