#!/usr/bin/env bash
# Speed of `kestrix-cli rebuild` against `cp` of the same input, in the same run.
#
#   bench/rebuild_bench.sh [BUILD_DIR] [INTERVALS] [REPEATS]
#
# BUILD_DIR defaults to build-bench (Release), INTERVALS to 4096 (an input of 4096 whole map
# intervals in shuffled order, 0.97 GiB), REPEATS to 5. Files live in BUILD_DIR/bench-data (or
# $BENCH_DATA), on the same file system for both commands, and are removed on exit.
#
# The input is page-cached first. Each repeat removes the previous outputs, flushes dirty data
# (`sync`, not timed) and times `cp INPUT OUT` and the rebuild of INPUT, in alternating order. The ratio is
# cp time / rebuild time: 1.0 means the rebuild is as fast as copying its input. Neither
# command's time includes writing the data back to disk (neither calls fsync).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
intervals=${2:-4096}
repeats=${3:-5}
data=${BENCH_DATA:-$build/bench-data}
cli=${KESTRIX_CLI:-$build/src/cli/kestrix-cli}  # another build of the program can be compared
gen=$build/bench/make_bench_data

for tool in "$cli" "$gen"; do
  [ -x "$tool" ] || { echo "rebuild_bench: $tool is missing (ninja -C $build kestrix-cli make_bench_data)" >&2; exit 1; }
done
mkdir -p "$data"
input=$data/rebuild-bench.in
trap 'rm -f "$input" "$input.expected-size" "$data/rebuild-bench.cp" "$data/rebuild-bench.pst"' EXIT

echo "== making an input of $intervals intervals"
"$gen" rebuild-input "$input" "$intervals"
bytes=$(stat -c %s "$input")
cat "$input" > /dev/null
sync

. bench/timing.sh

cp_ns=()
rb_ns=()
for ((i = 1; i <= repeats; i++)); do
  rm -f "$data/rebuild-bench.cp" "$data/rebuild-bench.pst"
  sync
  # Alternate which command goes first, so neither always meets the state the other left.
  if (( i % 2 )); then
    c=$(elapsed cp "$input" "$data/rebuild-bench.cp")
    sync
    r=$(elapsed sh -c '"$1" rebuild --quiet "$2" -o "$3" > /dev/null' sh "$cli" "$input" "$data/rebuild-bench.pst")
  else
    r=$(elapsed sh -c '"$1" rebuild --quiet "$2" -o "$3" > /dev/null' sh "$cli" "$input" "$data/rebuild-bench.pst")
    sync
    c=$(elapsed cp "$input" "$data/rebuild-bench.cp")
  fi
  cp_ns+=("$c")
  rb_ns+=("$r")
  printf 'run %d: cp %.3f s, rebuild %.3f s\n' "$i" "$(calc "$c / 1000000000")" "$(calc "$r / 1000000000")"
done
want=$(cat "$input.expected-size")
got=$(stat -c %s "$data/rebuild-bench.pst")
[ "$got" = "$want" ] || { echo "rebuild_bench: the rebuilt file has $got bytes, expected $want" >&2; exit 1; }
echo "rebuilt size checked: $got bytes"
rm -f "$data/rebuild-bench.cp" "$data/rebuild-bench.pst"

cb=$(best "${cp_ns[@]}"); cm=$(median "${cp_ns[@]}")
rb=$(best "${rb_ns[@]}"); rm_=$(median "${rb_ns[@]}")
mibs() { calc "$bytes * 1000000000 / $1 / 1048576" | cut -d. -f1; }
echo "== over $bytes input bytes, $repeats runs"
printf '  cp      : best %s MiB/s, median %s MiB/s\n' "$(mibs "$cb")" "$(mibs "$cm")"
printf '  rebuild : best %s MiB/s, median %s MiB/s\n' "$(mibs "$rb")" "$(mibs "$rm_")"
printf '  ratio rebuild/cp: best %.3f, median %.3f (target >= 0.8)\n' \
  "$(calc "$cb / $rb")" "$(calc "$cm / $rm_")"
