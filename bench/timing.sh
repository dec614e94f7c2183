# Timing helpers shared by the benchmark scripts (sourced, not run).

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
