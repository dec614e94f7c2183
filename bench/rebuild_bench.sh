#!/usr/bin/env bash
# Speed of `kestrix-cli rebuild` against `cp` of the same input, in the same run.
#
#   bench/rebuild_bench.sh [BUILD_DIR] [INTERVALS] [REPEATS]
#
# BUILD_DIR defaults to build-bench (Release), INTERVALS to 4096 (an input of 4096 whole map
# intervals in shuffled order, 0.97 GiB), REPEATS to 6. Keep REPEATS even: the command that
# runs second in a pair meets the memory the first one just used, so each should run first as
# often. Files live in BUILD_DIR/bench-data (or $BENCH_DATA), on the same file system for both
# commands, and are removed on exit.
#
# The input is page-cached first. Each repeat removes the previous outputs, flushes dirty data
# (`sync`, not timed) and times `cp INPUT OUT` followed by `sync OUT` (an fsync of the copy)
# and the rebuild of INPUT, in alternating order. The rebuild writes through the output writer,
# which syncs the file before putting it in place, so both times include writing the data back
# to disk. The ratio is cp time / rebuild time: 1.0 means the rebuild is as fast as copying
# its input.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/timing.sh
build=${1:-build-bench}
intervals=${2:-4096}
repeats=${3:-6}
bench_programs "$build" rebuild_bench
input=$data/rebuild-bench.in
trap 'rm -f "$input" "$input.expected-size" "$data/rebuild-bench.cp" "$data/rebuild-bench.pst"' EXIT

echo "== making an input of $intervals intervals"
"$gen" rebuild-input "$input" "$intervals"
bytes=$(stat -c %s "$input")
cat "$input" > /dev/null
sync

prepare() { rm -f "$data/rebuild-bench.cp" "$data/rebuild-bench.pst"; }
run_a() { copy_synced "$input" "$data/rebuild-bench.cp"; }
run_b() { "$cli" rebuild --quiet "$input" -o "$data/rebuild-bench.pst" > /dev/null; }
check() {
  local want got
  want=$(cat "$input.expected-size")
  got=$(stat -c %s "$data/rebuild-bench.pst")
  [ "$got" = "$want" ] || { echo "rebuild_bench: the rebuilt file has $got bytes, expected $want" >&2; exit 1; }
}
time_pairs "$repeats" cp+fsync rebuild
echo "rebuilt size checked: $(cat "$input.expected-size") bytes"
report_pairs "$bytes" cp+fsync rebuild 0.8
