#!/usr/bin/env bash
# Speed and memory of `kestrix-cli check` and `repair` on a large PST file, against `cat`
# (and a synced `cp`, for the repair, which writes a copy and syncs it) of the same file, in
# the same run.
#
#   bench/pst_bench.sh [BUILD_DIR] [BYTES] [REPEATS]
#
# BUILD_DIR defaults to build-bench (Release), BYTES to 1100000000 (a PST grown from the
# sample by tests/model/pst_generate.py, over 1 GiB), REPEATS to 5. Files live in
# BUILD_DIR/bench-data (or $BENCH_DATA) and are removed on exit. The input is page-cached
# first (with BENCH_COLD=1, as root, the page cache is emptied before each timed command
# instead; BENCH_READ_RATE=N also limits every read of the disk to N bytes a second, see
# bench/timing.sh); each repeat times cat, check, repair and cp (with an fsync of the copy, as repair
# syncs its output: copy_synced) in rotating order. The repair's input is made
# damaged (its header zeroed) so that it rebuilds the header rather than just copying; its
# output is removed and flushed (not timed) before each run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
bytes=${2:-1100000000}
repeats=${3:-5}
. bench/timing.sh
bench_programs "$build" pst_bench
pst=$data/pst-bench.pst
damaged=$data/pst-bench-damaged.pst
out=$data/pst-bench-repaired.pst
trap 'rm -f "$pst" "$damaged" "$out" "$data/pst-bench.cp" "$data/pst-bench.strace"' EXIT

echo "== growing a PST of at least $bytes bytes from the sample"
python3 tests/model/pst_generate.py --size "$bytes" -o "$pst" | tail -n 3
cp "$pst" "$damaged"
dd if=/dev/zero of="$damaged" bs=512 count=1 conv=notrunc status=none
size=$(stat -c %s "$pst")
cat "$pst" "$damaged" > /dev/null
sync

cat_ns=() check_ns=() repair_ns=() cp_ns=()
for ((i = 0; i < repeats; i++)); do
  rm -f "$out" "$data/pst-bench.cp"
  sync
  for step in 0 1 2 3; do
    case $(( (step + i) % 4 )) in
      0) uncache; cat_ns+=("$(elapsed sh -c 'cat "$1" > /dev/null' sh "$pst")") ;;
      1) uncache; check_ns+=("$(elapsed sh -c '"$1" check --quiet "$2" > /dev/null' sh "$cli" "$pst")") ;;
      2) uncache; repair_ns+=("$(elapsed sh -c '"$1" repair --quiet "$2" -o "$3" > /dev/null' sh "$cli" "$damaged" "$out")"); sync ;;
      3) uncache; cp_ns+=("$(elapsed copy_synced "$damaged" "$data/pst-bench.cp")"); sync ;;
    esac
  done
  printf 'run %d: cat %.3f s, check %.3f s, repair %.3f s, synced cp %.3f s\n' $((i + 1)) \
    "$(calc "${cat_ns[-1]} / 1e9")" "$(calc "${check_ns[-1]} / 1e9")" "$(calc "${repair_ns[-1]} / 1e9")" \
    "$(calc "${cp_ns[-1]} / 1e9")"
done
"$cli" check --quiet "$out" > /dev/null || { echo "pst_bench: the repaired file does not check sound" >&2; exit 1; }

cm=$(median "${cat_ns[@]}"); km=$(median "${check_ns[@]}"); rm_=$(median "${repair_ns[@]}"); pm=$(median "${cp_ns[@]}")
echo "== medians over $size bytes, $repeats runs"
printf '  check / cat : %.2f (target <= 1.5)\n' "$(calc "$km / $cm")"
printf '  repair / cat: %.2f (target <= 1.5); repair / synced cp: %.2f\n' "$(calc "$rm_ / $cm")" "$(calc "$rm_ / $pm")"
echo "== load while timing: $(cut -d' ' -f1-3 /proc/loadavg)"

# Processor time is what other work on the machine disturbs least.
echo "== processor time (user + system), one run each"
for cmd in cat check repair; do
  case $cmd in
    cat) run=(cat "$pst") ;;
    check) run=("$cli" check --quiet "$pst") ;;
    repair) rm -f "$out"; sync; run=("$cli" repair --quiet "$damaged" -o "$out") ;;
  esac
  /usr/bin/time -f '%U %S' -o "$data/time.txt" "${run[@]}" > /dev/null
  printf '  %-6s: %.2f s\n' "$cmd" "$(awk '{ print $1 + $2 }' "$data/time.txt")"
done

echo "== bytes read (pread and read calls, from strace)"
for cmd in check repair; do
  args=("$pst"); [ "$cmd" = repair ] && args=("$damaged" -o "$out")
  strace -f -e trace=pread64,read -o "$data/pst-bench.strace" "$cli" "$cmd" --quiet "${args[@]}" > /dev/null
  read_bytes=$(awk -F'= ' '/^[0-9]+ +p?read(64)?\(/ && $NF ~ /^[0-9]+$/ { s += $NF } END { print s + 0 }' "$data/pst-bench.strace")
  printf '  %-6s: %s bytes read, %.3f x the file\n' "$cmd" "$read_bytes" "$(calc "$read_bytes / $size")"
done

echo "== peak resident memory"
blocks=$("$cli" check --quiet --format json "$pst" | sed -n 's/.*"blocksListed": \([0-9]*\).*/\1/p')
limit=$(calc "64 + $blocks * 64 / 1048576")
for cmd in check repair; do
  args=("$pst"); [ "$cmd" = repair ] && args=("$damaged" -o "$out")
  /usr/bin/time -f %M -o "$data/time.txt" "$cli" "$cmd" --quiet "${args[@]}" > /dev/null
  printf '  %-6s: %.1f MiB (target <= 64 MiB + 64 B x %s blocks = %.1f MiB)\n' "$cmd" \
    "$(calc "$(cat "$data/time.txt") / 1024")" "$blocks" "$limit"
done
rm -f "$data/time.txt"
