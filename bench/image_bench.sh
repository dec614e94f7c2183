#!/usr/bin/env bash
# Scan throughput of `kestrix-cli scan` on disk images in compressed containers, measured
# against each format's own tool reading the same image whole:
#   E01 (ewfacquirestream -c deflate:fast): `ewfexport -u -q -f raw -t - IMAGE > /dev/null`
#   qcow2 (qemu-img convert -c):            `qemu-img convert -O raw IMAGE OUT.raw` (then removed)
#
#   bench/image_bench.sh [BUILD_DIR] [SIZE_MIB] [REPEATS]
#
# BUILD_DIR defaults to build-bench (Release), SIZE_MIB to 1024, REPEATS to 5. The raw image
# is make_bench_data's image (random filler with PST fragments, which does not compress) of
# half the size, followed by as much compressible data (the files of /usr/share and /usr/lib
# as one tar stream), so that half of the containers' chunks are stored compressed. The
# containers are made in BUILD_DIR/bench-data (or $BENCH_DATA), page-cached, and removed on
# exit. The scan's fragment list is checked against the generator's. Each repeat times the
# tool and the scan back to back, in alternating order; the script prints best and median
# times and MiB/s of the media (the raw image's size).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
size_mib=${2:-1024}
repeats=${3:-5}
. bench/timing.sh
bench_programs "$build" image_bench
for tool in ewfacquirestream ewfexport qemu-img /usr/bin/time; do
  command -v "$tool" > /dev/null || { echo "image_bench: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
raw=$data/image-bench.img
trap 'rm -rf "$raw" "$raw.expected.tsv" "$data"/image-bench.E?? "$data/image-bench.qcow2" "$data/image-bench.out"*' EXIT

half=$(( size_mib / 2 ))
echo "== making a ${size_mib} MiB image: ${half} MiB of random filler with PST fragments, then compressible files"
"$gen" image "$raw" "$half"
tar -cf - --ignore-failed-read /usr/share /usr/lib 2> /dev/null | head -c $(( (size_mib - half) << 20 )) >> "$raw" || true
truncate -s $(( size_mib << 20 )) "$raw"
bytes=$(stat -c %s "$raw")

echo "== making the containers"
ewfacquirestream -q -c deflate:fast -t "$data/image-bench" < "$raw" > /dev/null
qemu-img convert -c -f raw -O qcow2 "$raw" "$data/image-bench.qcow2"
ls -l "$data"/image-bench.E?? "$data/image-bench.qcow2" | awk '{ printf "  %s: %d bytes\n", $NF, $5 }'
rm -f "$raw"  # the containers alone are read from here on
cat "$data"/image-bench.E?? "$data/image-bench.qcow2" > /dev/null

mibs() { calc "$bytes * 1000000000 / $1 / 1048576" | cut -d. -f1; }
scan() { "$cli" scan --quiet --format tsv "$1" > "$data/image-bench.out.tsv"; }
ewf_tool() { ewfexport -u -q -f raw -t - "$data/image-bench.E01" > /dev/null 2>&1; }
export data
export -f ewf_tool
qemu_tool() { qemu-img convert -f qcow2 -O raw "$data/image-bench.qcow2" "$data/image-bench.out.raw"; rm -f "$data/image-bench.out.raw"; }

export -f qemu_tool

measure() {  # NAME TOOL_FUNCTION IMAGE
  local name=$1 tool=$2 image=$3 i t s
  local tool_ns=() scan_ns=()
  for ((i = 1; i <= repeats; i++)); do
    if (( i % 2 )); then
      t=$(elapsed "$tool"); s=$(elapsed scan "$image")
    else
      s=$(elapsed scan "$image"); t=$(elapsed "$tool")
    fi
    tool_ns+=("$t"); scan_ns+=("$s")
    printf '  run %d: %s %.3f s, scan %.3f s\n' "$i" "$name" "$(calc "$t / 1000000000")" "$(calc "$s / 1000000000")"
  done
  cmp -s "$data/image-bench.out.tsv" "$raw.expected.tsv" || {
    echo "image_bench: the scan of $image gives another fragment list:" >&2
    diff "$raw.expected.tsv" "$data/image-bench.out.tsv" >&2 || true
    exit 1
  }
  local tb tm sb sm
  tb=$(best "${tool_ns[@]}"); tm=$(median "${tool_ns[@]}")
  sb=$(best "${scan_ns[@]}"); sm=$(median "${scan_ns[@]}")
  printf '  %s: best %s MiB/s, median %s MiB/s\n' "$name" "$(mibs "$tb")" "$(mibs "$tm")"
  printf '  scan: best %s MiB/s, median %s MiB/s (fragment list checked)\n' "$(mibs "$sb")" "$(mibs "$sm")"
  printf '  ratio scan/%s (tool time / scan time): best %.2f, median %.2f\n' "$name" "$(calc "$tb / $sb")" "$(calc "$tm / $sm")"
  # CPU time above the wall time is the second core at work.
  /usr/bin/time -f '  cpu of one scan: %e s wall, %U s user + %S s system' "$cli" scan --quiet --format tsv "$image" > /dev/null
  /usr/bin/time -f "  cpu of one $name: %e s wall, %U s user + %S s system" bash -c "$tool"
}

echo "== E01, $bytes bytes of media, $repeats runs"
measure ewfexport ewf_tool "$data/image-bench.E01"
echo "== qcow2, $bytes bytes of media, $repeats runs"
measure qemu-img qemu_tool "$data/image-bench.qcow2"
