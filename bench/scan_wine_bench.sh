#!/usr/bin/env bash
# Scan throughput of kestrix-cli.exe under Wine against the Linux build, on the same
# page-cached disk image.
#
#   bench/scan_wine_bench.sh [LINUX_BUILD_DIR] [WINDOWS_TREE] [SIZE_MIB] [REPEATS]
#
# LINUX_BUILD_DIR (default build-bench, Release) gives the Linux program and the image maker;
# WINDOWS_TREE (default build/windows-tree, from scripts/build-windows.sh) the Windows program.
# SIZE_MIB defaults to 1024, REPEATS to 4 (even: each program goes first as often). Both
# programs' fragment lists are checked against the one the image maker wrote. Wine's own start
# (a run of `kestrix-cli.exe --version`) is timed too, so the scan's share can be told from it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
tree=${2:-build/windows-tree}
size_mib=${3:-1024}
repeats=${4:-4}
. bench/timing.sh
bench_programs "$build" scan_wine_bench
exe=$tree/src/cli/kestrix-cli.exe
[ -f "$exe" ] || { echo "scan_wine_bench: $exe is missing (scripts/build-windows.sh)" >&2; exit 1; }
export WINEPREFIX=$PWD/$tree/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=${WINE64:-/usr/lib/wine/wine64}
image=$data/scan-wine-bench.img
trap 'rm -f "$image" "$image.expected.tsv" "$data"/scan-wine-*.tsv' EXIT

echo "== making a ${size_mib} MiB image"
"$gen" image "$image" "$size_mib"
bytes=$(stat -c %s "$image")
cat "$image" >/dev/null
cat "$image" >/dev/null
"$wine" "$exe" --version >/dev/null  # Wine's prefix and server up before anything is timed

prepare() { :; }
run_a() { "$cli" scan --quiet --format tsv "$image" >"$data/scan-wine-linux.tsv"; }
run_b() { "$wine" "$exe" scan --quiet --format tsv "$image" >"$data/scan-wine-windows.tsv"; }
check() {
  for side in linux windows; do
    cmp -s "$data/scan-wine-$side.tsv" "$image.expected.tsv" || { echo "scan_wine_bench: the $side scan's list differs" >&2; exit 1; }
  done
}
time_pairs "$repeats" linux wine
report_pairs "$bytes" linux wine "(none)"
start=()
for ((i = 0; i < repeats; i++)); do start+=("$(elapsed "$wine" "$exe" --version)"); done
printf '  Wine start (kestrix-cli.exe --version): median %.3f s\n' "$(calc "$(median "${start[@]}") / 1000000000")"
