# Timing helpers shared by the benchmark scripts (sourced, not run).

# The programs a benchmark runs, from build folder $1: sets cli (or $KESTRIX_CLI, to compare
# another build of the program), gen and data (or $BENCH_DATA), makes data, and stops the
# script named $2 with the command to build what is missing.
bench_programs() {
  local build=$1 name=$2 tool
  data=${BENCH_DATA:-$build/bench-data}
  cli=${KESTRIX_CLI:-$build/src/cli/kestrix-cli}
  gen=$build/bench/make_bench_data
  for tool in "$cli" "$gen"; do
    [ -x "$tool" ] || { echo "$name: $tool is missing (ninja -C $build kestrix-cli make_bench_data)" >&2; exit 1; }
  done
  mkdir -p "$data"
  [ -z "${BENCH_READ_RATE:-}" ] || throttle_reads "$data" "$BENCH_READ_RATE"
}

# With BENCH_READ_RATE=N (root), this script and every command it starts read the disk that
# holds DIR at most N bytes a second, and the page cache is emptied before each timed command
# (BENCH_COLD=1): a disk of that speed, on a machine whose own disk is served from the host's
# cache. Uses the blkio controller of cgroup v1, or io of cgroup v2.
throttle_reads() {
  local dir=$1 rate=$2 dev parent majmin group
  dev=$(findmnt -no SOURCE -T "$dir")
  parent=$(lsblk -no PKNAME "$dev" | head -1)
  [ -z "$parent" ] || dev=/dev/$parent
  majmin=$(lsblk -dno MAJ:MIN "$dev" | tr -d ' ')
  if [ -d /sys/fs/cgroup/blkio ]; then
    group=/sys/fs/cgroup/blkio/kestrix-bench
    mkdir -p "$group"
    echo "$majmin $rate" > "$group/blkio.throttle.read_bps_device"
  else
    group=/sys/fs/cgroup/kestrix-bench
    echo +io > /sys/fs/cgroup/cgroup.subtree_control
    mkdir -p "$group"
    echo "$majmin rbps=$rate" > "$group/io.max"
  fi
  echo $$ > "$group/cgroup.procs"
  export BENCH_COLD=1
  echo "== reads of $dev ($majmin) limited to $rate bytes a second, page cache emptied before each timed command"
}

# With BENCH_COLD=1, empties the page cache (root only): the next command reads its input
# from the disk, as a recovery reads a disk that was never read before. Does nothing else.
uncache() {
  [ "${BENCH_COLD:-0}" = 1 ] || return 0
  sync
  echo 3 > /proc/sys/vm/drop_caches || { echo "BENCH_COLD=1 needs root (/proc/sys/vm/drop_caches)" >&2; exit 1; }
}

# Floating-point arithmetic (awk is on every Debian system).
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }

# Wall time of one command in nanoseconds.
elapsed() {
  local start end
  start=$(date +%s%N)
  "$@"
  end=$(date +%s%N)
  echo $(( end - start ))
}

# The smallest and the median of the arguments.
best() { printf '%s\n' "$@" | sort -n | head -1; }
median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }

# cp SRC DST, then fsync of DST: the same durability kestrix-cli gives every file it writes
# (it syncs a file before putting it in place), so that the two are timed alike.
copy_synced() { cp "$1" "$2" && sync "$2"; }

# Times the calling script's shell functions run_a and run_b REPEATS times each, in
# alternating order so that neither always meets the state the other left (give an even
# REPEATS, so that each is first as often as second). Before each pair
# the function prepare runs and dirty data is flushed (`sync`), and again between the two
# (neither timed); after each pair the function check runs. Fills a_ns and b_ns (nanoseconds).
time_pairs() {
  local repeats=$1 label_a=$2 label_b=$3 i a b
  a_ns=()
  b_ns=()
  for ((i = 1; i <= repeats; i++)); do
    prepare
    sync
    if (( i % 2 )); then
      a=$(elapsed run_a)
      sync
      b=$(elapsed run_b)
    else
      b=$(elapsed run_b)
      sync
      a=$(elapsed run_a)
    fi
    check
    a_ns+=("$a")
    b_ns+=("$b")
    printf 'run %d: %s %.3f s, %s %.3f s\n' "$i" "$label_a" "$(calc "$a / 1000000000")" "$label_b" "$(calc "$b / 1000000000")"
  done
}

# The summary of time_pairs over BYTES bytes: the best and median throughput of each, and the
# ratio of their times, a / b (1.0: b as fast as a).
report_pairs() {
  local bytes=$1 label_a=$2 label_b=$3 target=$4 ab am bb bm
  ab=$(best "${a_ns[@]}"); am=$(median "${a_ns[@]}")
  bb=$(best "${b_ns[@]}"); bm=$(median "${b_ns[@]}")
  mibs() { calc "$bytes * 1000000000 / $1 / 1048576" | cut -d. -f1; }
  echo "== over $bytes bytes, ${#a_ns[@]} runs"
  printf '  %-9s: best %s MiB/s, median %s MiB/s\n' "$label_a" "$(mibs "$ab")" "$(mibs "$am")"
  printf '  %-9s: best %s MiB/s, median %s MiB/s\n' "$label_b" "$(mibs "$bb")" "$(mibs "$bm")"
  printf '  ratio %s/%s: best %.3f, median %.3f (target >= %s)\n' "$label_b" "$label_a" \
    "$(calc "$ab / $bb")" "$(calc "$am / $bm")" "$target"
}
