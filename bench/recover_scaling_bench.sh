#!/usr/bin/env bash
# How the time of `kestrix-cli recover` grows with the number of fragments: a file of SMALL
# and of LARGE one-page fragments (every interval but the first is a fragment of a single map
# page, in a shuffled order), which is what putting files together costs most.
#
#   bench/recover_scaling_bench.sh [BUILD_DIR] [SMALL] [LARGE] [REPEATS]
#
# BUILD_DIR defaults to build-bench (Release), SMALL to 1000, LARGE to 4000, REPEATS to 5.
# Each repeat times `kestrix-cli recover --quiet IMAGE -o DIR` on both images, in alternating
# order, into emptied folders (the written file, SMALL + 1 or LARGE + 1 intervals, is checked
# for its length). The script prints the best and the median of each and the ratio of the
# medians; LARGE / SMALL = 4 takes 4 times as long when the work is linear. Exit status 1 when
# the ratio exceeds 2 * LARGE / SMALL (8 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/timing.sh
build=${1:-build-bench}
small=${2:-1000}
large=${3:-4000}
repeats=${4:-5}
bench_programs "$build" recover_scaling_bench
trap 'rm -rf "$data/fragments-$small.img" "$data/fragments-$large.img" "$data/scaling-out"' EXIT

for n in "$small" "$large"; do "$gen" one-page-fragments "$data/fragments-$n.img" "$n"; done
# Emptied output folder and dirty data flushed before each run, and the result checked after
# it, neither timed.
prepare() { rm -rf "$data/scaling-out"; sync; }
run() { "$cli" recover --quiet "$data/fragments-$1.img" -o "$data/scaling-out" > /dev/null 2>&1; }
check() {
  local size
  size=$(stat -c %s "$data/scaling-out/file1.pst")
  [ "$size" -eq $(( 17408 + ($1 + 1) * 253952 )) ] || { echo "recover_scaling_bench: file1.pst has $size bytes" >&2; exit 1; }
}
timed() {
  local ns
  prepare
  ns=$(elapsed run "$1")
  check "$1"
  echo "$ns"
}
small_ns=()
large_ns=()
for ((i = 1; i <= repeats; i++)); do
  if (( i % 2 )); then
    s=$(timed "$small"); l=$(timed "$large")
  else
    l=$(timed "$large"); s=$(timed "$small")
  fi
  small_ns+=("$s")
  large_ns+=("$l")
  printf 'run %d: %d fragments %.3f s, %d fragments %.3f s\n' "$i" "$small" "$(calc "$s / 1000000000")" \
    "$large" "$(calc "$l / 1000000000")"
done
sm=$(median "${small_ns[@]}"); lm=$(median "${large_ns[@]}")
printf '  %d fragments: best %.3f s, median %.3f s\n' "$small" "$(calc "$(best "${small_ns[@]}") / 1000000000")" \
  "$(calc "$sm / 1000000000")"
printf '  %d fragments: best %.3f s, median %.3f s\n' "$large" "$(calc "$(best "${large_ns[@]}") / 1000000000")" \
  "$(calc "$lm / 1000000000")"
ratio=$(calc "$lm / $sm")
limit=$(calc "2 * $large / $small")
printf '  ratio of the medians: %.2f (target <= %.0f)\n' "$ratio" "$limit"
awk "BEGIN { exit !($ratio <= $limit) }"
