#!/usr/bin/env bash
# The scan's cost in instructions, counted by callgrind, against another build of the program
# on the same image: a figure that does not move with the machine's load, as times on a shared
# machine do. Callgrind runs the program about 50 times slower, so the image is small.
#
#   bench/scan_instructions.sh BUILD_DIR OTHER_CLI [SIZE_MIB]
#
# BUILD_DIR is a Release build with kestrix-cli and make_bench_data; OTHER_CLI another build's
# kestrix-cli (the one before a change). SIZE_MIB defaults to 256. Needs valgrind.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
other=$2
size_mib=${3:-256}
. bench/timing.sh
bench_programs "$build" scan_instructions
image=$data/scan-instructions.img
trap 'rm -f "$image" "$image.expected.tsv"' EXIT
"$gen" image "$image" "$size_mib" > /dev/null
count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1" scan --quiet --format tsv "$image" 2>&1 >/dev/null |
    sed -n 's/.*Collected : //p'
}
new=$(count "$cli")
old=$(count "$other")
printf 'instructions for %s MiB: this build %s, other %s, ratio %.4f\n' "$size_mib" "$new" "$old" "$(calc "$new / $old")"
