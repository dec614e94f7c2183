#!/usr/bin/env bash
# Peak memory of `kestrix-cli scan` on an image in which every sector is an allocation-map
# page: as many hits as sectors, each a fragment of its own, the most a source can make the
# scan hold.
#
#   bench/scan_memory_bench.sh [BUILD_DIR] [SIZE_MIB]
#
# BUILD_DIR defaults to build-bench (Release), SIZE_MIB to 512 (1,048,576 hits). For each
# output (table, tsv, json, and tsv and json with --hits) it prints the peak resident memory
# (GNU time's "Maximum resident set size", Debian package `time`) against the budget of
# 64 MiB plus 32 bytes a hit, and the time of the scan; `cat` of the same page-cached image is
# timed for comparison. Exit status 1 when a scan goes over the budget.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/timing.sh
build=${1:-build-bench}
size_mib=${2:-512}
bench_programs "$build" scan_memory_bench
[ -x /usr/bin/time ] || { echo "scan_memory_bench: /usr/bin/time is missing (apt-get install time)" >&2; exit 1; }
image=$data/map-pages.img
measured=$data/scan-memory.txt
trap 'rm -f "$image" "$image.hits" "$measured"' EXIT

echo "== making a ${size_mib} MiB image of map pages"
"$gen" map-pages "$image" "$size_mib"
hits=$(cat "$image.hits")
cat "$image" > /dev/null
cat "$image" > /dev/null
budget=$(( 64 * 1024 + 32 * hits / 1024 ))  # KiB
printf 'cat: %.3f s\n' "$(calc "$(elapsed sh -c 'cat "$1" > /dev/null' sh "$image") / 1000000000")"
echo "== peak resident memory of kestrix-cli scan, $hits hits (budget $budget KiB = 64 MiB + 32 bytes a hit)"
over=0
for args in "--format table" "--format tsv" "--format json" "--format tsv --hits" "--format json --hits"; do
  # shellcheck disable=SC2086  # the options are split on purpose
  /usr/bin/time -f '%M %e' -o "$measured" "$cli" scan --quiet $args "$image" > /dev/null
  read -r kib seconds < "$measured"
  printf '  %-20s %8d KiB = %6.1f MiB  (%5.1f bytes a hit)  %6.2f s  %s\n' "$args" "$kib" "$(calc "$kib / 1024")" \
    "$(calc "$kib * 1024 / $hits")" "$seconds" "$( (( kib <= budget )) && echo within || echo OVER)"
  (( kib <= budget )) || over=1
done
exit $over
