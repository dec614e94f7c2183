#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs each for a bounded time. Fails when a target crashes, trips a sanitizer or breaks
# one of its checks; the input that did it is left in BUILD_DIR/artifacts.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]      (default 60; BUILD_DIR: $FUZZ_BUILD or build/fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${FUZZ_BUILD:-build/fuzz}

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_WERROR=ON \
  -DKESTRIX_FUZZ=ON -DKESTRIX_GUI=OFF -DKESTRIX_TESTS=OFF > /dev/null
cmake --build "$build" --target fuzzers

seeds=$build/seeds
corpus=$build/corpus
rm -rf "$seeds"
"$build/fuzz/fuzz_make_seeds" "$seeds"
mkdir -p "$build/artifacts"

# max_len per target: a few pages, a layout of up to ~1000 hits, 32 block heads, a small PST.
declare -A max_len=([map_page]=2048 [fragment_walk]=1024 [rebuild_index]=16385 [pst_reader]=40960)
status=0
for name in map_page fragment_walk rebuild_index pst_reader; do
  echo "== fuzz_$name for ${seconds}s"
  mkdir -p "$corpus/$name"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=64 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/fuzz/fuzz_$name" "$corpus/$name" "$seeds/$name" \
      -max_total_time="$seconds" -max_len="${max_len[$name]}" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$build/artifacts/$name-" -print_final_stats=1 2> "$build/fuzz_$name.log"; then
    echo "fuzz_$name FAILED; last lines of $build/fuzz_$name.log:" >&2
    tail -n 40 "$build/fuzz_$name.log" >&2
    status=1
  else
    grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "$build/fuzz_$name.log" | sed 's/^/  /'
  fi
done
exit $status
