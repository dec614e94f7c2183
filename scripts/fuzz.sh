#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer,
# replays the inputs that once broke a target (fuzz/regressions/TARGET), then fuzzes each target.
# Fails when a target crashes, trips a sanitizer or breaks one of its checks; the input that did
# it is left in BUILD_DIR/artifacts.
#
#   scripts/fuzz.sh              a reproducible run: a fixed seed and a fixed number of inputs
#                                per target (about a minute each), as CI runs it
#   scripts/fuzz.sh SECONDS      a run of SECONDS per target with a random seed, to explore
#
# BUILD_DIR: $FUZZ_BUILD or build/fuzz. An input found by a long run belongs in
# fuzz/regressions/TARGET once its fault is mended.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-}
build=${FUZZ_BUILD:-build/fuzz}

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_WERROR=ON \
  -DKESTRIX_FUZZ=ON -DKESTRIX_GUI=OFF -DKESTRIX_TESTS=OFF > /dev/null
cmake --build "$build" --target fuzzers

seeds=$build/seeds
corpus=$build/corpus
rm -rf "$seeds"
"$build/fuzz/fuzz_make_seeds" "$seeds"
mkdir -p "$build/artifacts"

# max_len per target: a few pages, a layout of up to ~1000 hits, 32 block heads, a small PST,
# the recipe of a file of 32 tree pages and 24 blocks.
declare -A max_len=([map_page]=2048 [fragment_walk]=1024 [rebuild_index]=16385 [pst_reader]=40960 [pst_trees]=8192)
# Inputs per target in the reproducible run: about a minute each on one core of a CI machine.
declare -A runs=([map_page]=2000000 [fragment_walk]=80000 [rebuild_index]=250000 [pst_reader]=30000 [pst_trees]=6000)
# Address space per target, in KiB: none under AddressSanitizer (its shadow reserves terabytes);
# the trees target, built without it, must stay within 1 GiB whatever its trees name.
declare -A vmem=([pst_trees]=1048576)
# One target: its regressions, then its run. Prints what it found; fails as the script does.
fuzz_target() {
  local name=$1 limit=${vmem[$1]:-unlimited} regressions=fuzz/regressions/$1 budget
  mkdir -p "$corpus/$name"
  if [ -d "$regressions" ]; then
    echo "== fuzz_$name: the inputs in $regressions"
    if ! (ulimit -v "$limit"; ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$build/fuzz/fuzz_$name" "$regressions"/*) > "$build/fuzz_$name.regressions.log" 2>&1; then
      echo "fuzz_$name FAILED on an input of $regressions:"
      tail -n 40 "$build/fuzz_$name.regressions.log"
      return 1
    fi
  fi
  if [ -n "$seconds" ]; then
    echo "== fuzz_$name for ${seconds}s"
    budget=(-max_total_time="$seconds")
  else
    echo "== fuzz_$name, ${runs[$name]} inputs from seed 1"
    rm -rf "${corpus:?}/$name" && mkdir -p "$corpus/$name"
    budget=(-seed=1 -runs="${runs[$name]}")
  fi
  if ! (ulimit -v "$limit"; ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=64 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    exec "$build/fuzz/fuzz_$name" "$corpus/$name" "$seeds/$name" \
      "${budget[@]}" -max_len="${max_len[$name]}" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$build/artifacts/$name-" -print_final_stats=1) 2> "$build/fuzz_$name.log"; then
    echo "fuzz_$name FAILED; last lines of $build/fuzz_$name.log:"
    tail -n 40 "$build/fuzz_$name.log"
    return 1
  fi
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "$build/fuzz_$name.log" | sed 's/^/  /'
}

# A libFuzzer run uses one core: the targets run side by side, one a core, the longest first.
# Each one's inputs and seed are its own, so a run is the same whatever ran beside it.
targets=(map_page pst_reader fragment_walk pst_trees rebuild_index)
rm -f "$build"/fuzz_*.rc "$build"/fuzz_*.out
for name in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do sleep 1; done
  (if fuzz_target "$name" > "$build/fuzz_$name.out" 2>&1; then echo 0; else echo 1; fi > "$build/fuzz_$name.rc") &
done
wait
status=0
for name in "${targets[@]}"; do
  cat "$build/fuzz_$name.out"
  [ "$(cat "$build/fuzz_$name.rc")" = 0 ] || status=1
done
exit $status
