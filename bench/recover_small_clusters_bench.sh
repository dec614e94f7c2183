#!/usr/bin/env bash
# Speed and memory of `kestrix-cli recover` on a very fragmented volume: enron.pst cut into
# runs of 1 to 16 clusters of 512 bytes (about 3,200 pieces), in random order at random places
# of a 1 GiB image whose other bytes are random (bench/make_cut_image.py --fill), page-cached,
# against `cat` of the image in the same run. Prints what came back (blocks proved, missing)
# and the blocks put together from pieces by their CRC alone (not counted proved).
#
#   bench/recover_small_clusters_bench.sh [BUILD_DIR] [REPEATS] [SEED]
#
# Defaults: build-bench, 5, 1.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
repeats=${2:-5}
seed=${3:-1}
. bench/timing.sh
bench_programs "$build" recover_small_clusters_bench
image=$data/small-clusters.img
out=$data/small-clusters.out
trap 'rm -rf "$image" "$out" "$data/time.txt"' EXIT

echo "pieces: $(python3 bench/make_cut_image.py tests/data/enron.pst "$image" 1073741824 "$seed" --fill --cluster 512 --clusters 1-16)"
cat "$image" > /dev/null
cat_ns=() rec_ns=()
for ((i = 0; i < repeats; i++)); do
  rm -rf "$out"
  uncache; cat_ns+=("$(elapsed sh -c 'cat "$1" > /dev/null' sh "$image")")
  uncache; rec_ns+=("$(elapsed sh -c '"$1" recover --quiet "$2" -o "$3" > /dev/null' sh "$cli" "$image" "$out")")
  printf 'run %d: cat %.3f s, recover %.3f s\n' $((i + 1)) "$(calc "${cat_ns[-1]} / 1e9")" "$(calc "${rec_ns[-1]} / 1e9")"
done
printf '== median recover / cat: %.2f (target <= 5)\n' "$(calc "$(median "${rec_ns[@]}") / $(median "${cat_ns[@]}")")"
rm -rf "$out"
/usr/bin/time -f %M -o "$data/time.txt" "$cli" recover --quiet --format json "$image" -o "$out" |
  grep -o '"blocks": [0-9]*\|"blocksStitched": [0-9]*\|"blocksProved": [0-9]*\|"blocksMissing": [0-9]*\|"blocksInferred": [0-9]*\|"state": "[a-z]*"' | tr '\n' ' '
echo
printf '== peak resident memory: %.1f MiB\n' "$(calc "$(cat "$data/time.txt") / 1024")"
