#!/usr/bin/env bash
# Speed of `kestrix-cli recover` against `cp` of the same bytes, in the same run.
#
#   bench/recover_bench.sh [BUILD_DIR] [INTERVALS] [REPEATS]
#
# BUILD_DIR defaults to build-bench (Release), INTERVALS to 4096 (a 0.97 GiB PST file, hidden
# in an image in four pieces out of order), REPEATS to 6. Keep REPEATS even: the command that
# runs second in a pair meets the memory the first one just used, so each should run first as
# often. Files live in BUILD_DIR/bench-data (or $BENCH_DATA), on one file system for both
# commands, and are removed on exit.
#
# Both the image and the PST file are page-cached first. Each repeat removes the previous
# outputs, flushes dirty data (`sync`, not timed) and times, in alternating order, `cp PST OUT`
# followed by `sync OUT` (an fsync of the copy) and `kestrix-cli recover --quiet IMAGE -o DIR`,
# which scans the whole image, puts the file together and writes it through the output
# writer (temporary file, fsync, rename, fsync of the folder). The ratio is cp time / recover
# time: 1.0 means recover is as fast as copying the file it gives back. Every recovered file is
# compared with the original.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/timing.sh
build=${1:-build-bench}
intervals=${2:-4096}
repeats=${3:-6}
bench_programs "$build" recover_bench
image=$data/recover-bench.img
out=$data/recover-bench.out
trap 'rm -rf "$image" "$image.pst" "$data/recover-bench.cp" "$out"' EXIT

echo "== making an image with a PST file of $intervals intervals"
"$gen" recover-image "$image" "$intervals"
bytes=$(stat -c %s "$image.pst")
cat "$image" "$image.pst" > /dev/null
sync

prepare() { rm -rf "$data/recover-bench.cp" "$out"; }
run_a() { copy_synced "$image.pst" "$data/recover-bench.cp"; }
run_b() { "$cli" recover --quiet "$image" -o "$out" > /dev/null; }
check() { cmp "$out/file1.pst" "$image.pst" || { echo "recover_bench: file1.pst differs from the hidden file" >&2; exit 1; }; }
time_pairs "$repeats" cp+fsync recover
echo "recovered file checked: identical to the hidden one, $bytes bytes"
report_pairs "$bytes" cp+fsync recover 0.8
