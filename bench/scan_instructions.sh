#!/usr/bin/env bash
# The scan's cost in instructions, counted by callgrind, against another build of the program
# on the same image: a figure that does not move with the machine's load, as times on a shared
# machine do. Callgrind runs the program about 50 times slower, so the image is small.
#
#   bench/scan_instructions.sh BUILD_DIR OTHER_CLI [SIZE_MIB]
#
# BUILD_DIR is a Release build with kestrix-cli and make_bench_data; OTHER_CLI another build's
# kestrix-cli (the one before a change). SIZE_MIB defaults to 256. Needs valgrind.
#
# Each program scans an image of SIZE_MIB and one of twice that: the difference is what each
# further MiB costs, the figure a scan of a large disk pays; the start-up (loading the program
# and its libraries) is given apart.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
other=$2
size_mib=${3:-256}
. bench/timing.sh
bench_programs "$build" scan_instructions
image=$data/scan-instructions.img
trap 'rm -f "$image"' EXIT
count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1" scan --quiet --format tsv "$image" 2>&1 >/dev/null |
    sed -n 's/.*Collected : //p'
}
declare -A at
for size in "$size_mib" $((2 * size_mib)); do
  "$gen" image "$image" "$size" > /dev/null
  at[new$size]=$(count "$cli")
  at[old$size]=$(count "$other")
done
for which in new old; do
  small=${at[$which$size_mib]} large=${at[$which$((2 * size_mib))]}
  per_mib=$(calc "($large - $small) / $size_mib")
  printf '%s: %s instructions for %s MiB, %s for %s MiB: %.0f a MiB, %.0f at start-up\n' \
    "$([ $which = new ] && echo "this build" || echo "other")" "$small" "$size_mib" "$large" "$((2 * size_mib))" \
    "$per_mib" "$(calc "$small - $per_mib * $size_mib")"
  eval "per_$which=$per_mib"
done
printf 'instructions a MiB, this build against the other: ratio %.4f\n' "$(calc "$per_new / $per_old")"
