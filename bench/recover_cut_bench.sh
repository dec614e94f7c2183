#!/usr/bin/env bash
# Speed and memory of `kestrix-cli recover` on a PST that no file system explains: a file of
# over 1 GiB (tests/model/pst_generate.py) cut at 4 KiB boundaries into pieces of 64 KiB to
# 2 MiB, scattered in random order over a 4 GiB image (bench/make_cut_image.py), against
# `cat` of the image, in the same run; and `cp` of the PST with its fsync, which is what
# writing the result alone costs.
#
#   bench/recover_cut_bench.sh [BUILD_DIR] [PST_BYTES] [IMAGE_BYTES] [REPEATS]
#
# Defaults: build-bench, 1100000000, 4294967296, 3. The image is page-cached first (with
# BENCH_COLD=1, as root, the page cache is emptied before each timed command instead, and
# the space between the pieces holds random bytes rather than holes, as a disk does; with
# BENCH_READ_RATE=N, also as root, every read of the disk is limited to N bytes a second as
# well: see bench/timing.sh); each
# repeat removes the previous output (flushed, not timed). The recovered file must be the
# generated one, byte for byte in every block (kestrix-cli check says sound, 0 missing).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
pst_bytes=${2:-1100000000}
image_bytes=${3:-4294967296}
repeats=${4:-3}
. bench/timing.sh
bench_programs "$build" recover_cut_bench
pst=$data/cut-bench.pst
image=$data/cut-bench.img
out=$data/cut-bench.out
copy=$data/cut-bench.copy
trap 'rm -rf "$pst" "$image" "$out" "$copy" "$data/time.txt"' EXIT

echo "== a PST of at least $pst_bytes bytes, cut over a $image_bytes-byte image"
python3 tests/model/pst_generate.py --size "$pst_bytes" -o "$pst" | tail -n 2
fill=(); [ "${BENCH_COLD:-0}" = 1 ] && fill=(--fill)   # a disk read cold is no sparse file
echo "pieces: $(python3 bench/make_cut_image.py "$pst" "$image" "$image_bytes" 1 "${fill[@]}")"
cat "$image" > /dev/null

cat_ns=() rec_ns=() cp_ns=()
for ((i = 0; i < repeats; i++)); do
  rm -rf "$out" "$copy"
  sync
  # What writing the result alone costs: cp of a file of the same length, with its fsync.
  uncache; cp_ns+=("$(elapsed copy_synced "$pst" "$copy")")
  rm -f "$copy"
  sync
  if (( i % 2 )); then
    uncache; cat_ns+=("$(elapsed sh -c 'cat "$1" > /dev/null' sh "$image")")
    uncache; rec_ns+=("$(elapsed sh -c '"$1" recover --quiet "$2" -o "$3" > /dev/null' sh "$cli" "$image" "$out")")
  else
    uncache; rec_ns+=("$(elapsed sh -c '"$1" recover --quiet "$2" -o "$3" > /dev/null' sh "$cli" "$image" "$out")")
    uncache; cat_ns+=("$(elapsed sh -c 'cat "$1" > /dev/null' sh "$image")")
  fi
  printf 'run %d: cat %.3f s, recover %.3f s, cp + fsync of the PST %.3f s\n' $((i + 1)) "$(calc "${cat_ns[-1]} / 1e9")" \
    "$(calc "${rec_ns[-1]} / 1e9")" "$(calc "${cp_ns[-1]} / 1e9")"
done
cmp -s "$pst" "$out/file1.pst" && echo "recovered file: identical to the generated one" \
  || echo "recovered file: differs from the generated one (free space between pieces)"
"$cli" check --quiet "$out/file1.pst" > /dev/null || { echo "recover_cut_bench: the recovered file is not sound" >&2; exit 1; }
echo "recovered file: check says sound"

cm=$(median "${cat_ns[@]}"); rm_=$(median "${rec_ns[@]}"); cpm=$(median "${cp_ns[@]}")
printf '== median recover / cat: %.2f (target <= 3)\n' "$(calc "$rm_ / $cm")"
printf '== median cp + fsync of the PST / cat: %.2f; recover without that part / cat: %.2f\n' \
  "$(calc "$cpm / $cm")" "$(calc "($rm_ - $cpm) / $cm")"
blocks=$("$cli" check --quiet --format json "$pst" | sed -n 's/.*"blocksListed": \([0-9]*\).*/\1/p')
rm -rf "$out"
/usr/bin/time -f %M -o "$data/time.txt" "$cli" recover --quiet "$image" -o "$out" > /dev/null
printf '== peak resident memory: %.1f MiB (target <= 64 MiB + 32 B x %s blocks = %.1f MiB)\n' \
  "$(calc "$(cat "$data/time.txt") / 1024")" "$blocks" "$(calc "64 + $blocks * 32 / 1048576")"
