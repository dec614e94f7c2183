#!/usr/bin/env bash
# Installs what is needed, builds every part with warnings as errors, and runs every test:
# the normal build, then the same tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# then a short bounded run of each fuzz target, the Debian package installed and run in a clean
# Debian 12 root, and the Windows build (the command line and the window) with its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
# A fresh Debian root sets no locale, and tests name files in Chinese: everything here runs in
# C.UTF-8, which every Debian root has.
export LC_ALL=C.UTF-8
bash scripts/install-deps.sh
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
# Every build goes through ccache, kept where the other built dependencies are kept: a later run
# on the same machine compiles only what changed, from whatever folder it was cloned into (paths
# are hashed relative to it). KESTRIX_CCACHE=0 compiles everything.
if [ "${KESTRIX_CCACHE:-1}" != 0 ]; then
  cache=${KESTRIX_CACHE:-/var/cache/kestrix}
  if ! mkdir -p "$cache" 2>/dev/null || [ ! -w "$cache" ]; then cache=${XDG_CACHE_HOME:-$HOME/.cache}/kestrix; fi
  export CCACHE_DIR=${CCACHE_DIR:-$cache/ccache} CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-6G}
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  ccache --zero-stats >/dev/null
fi
# The Windows build's own dependencies, the disk-image libraries and Qt, are the longest builds,
# and once built they are kept. The first time, they are built beside the Linux stages at the
# lowest priority, on the cores their tests, the fuzz runs and the package root leave idle; the
# Windows stage, the last, waits for them. Their own session is a scheduling group of its own
# where the kernel groups by session (autogroup): there a process's nice counts only within its
# group, and the group's own nice is what yields to the stages.
deps_log=$PWD/build/windows-deps.log
mkdir -p build
setsid nice -n 19 bash -c '{ echo 19 >/proc/self/autogroup; } 2>/dev/null
  bash scripts/build-windows-image-libs.sh && bash scripts/build-windows-qt.sh' >/dev/null 2>"$deps_log" &
deps_build=$!
trap 'kill -- -$deps_build 2>/dev/null || true' EXIT
# How long each stage took, printed at the end.
times=()
stage() {
  [ -n "${stage_name:-}" ] && times+=("$(printf '%5ds  %s' $((SECONDS - stage_start)) "$stage_name")")
  stage_name=$1 stage_start=$SECONDS
  if [ -n "$1" ]; then echo "== $1"; fi
}

stage "build and test (RelWithDebInfo, -Werror)"
bash scripts/build.sh build/ci -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_WERROR=ON
(cd build/ci && ctest --output-on-failure -j "$jobs")

stage "build and test with ASan + UBSan"
bash scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DKESTRIX_WERROR=ON -DKESTRIX_SANITIZE=ON
(cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions="$PWD/../../tests/support/lsan-libraries.supp" UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j "$jobs")

if [ -f scripts/fuzz.sh ]; then
  stage "fuzz"
  bash scripts/fuzz.sh
fi

stage "package, installed into a clean Debian 12 root"
bash scripts/package-test.sh

stage "Windows: cross build, the engine's and the window's tests, the programs end to end under Wine"
wait $deps_build || { cat "$deps_log" >&2; echo "the Windows build's libraries did not build" >&2; exit 1; }
cat "$deps_log"
bash scripts/build-windows.sh --tests
# Started with LANG=C and no other locale, as on a fresh machine: the Unicode names under Wine
# must not depend on the caller's locale (test-windows.sh sets its own).
env -u LC_ALL -u LC_CTYPE -u LANGUAGE LANG=C bash scripts/test-windows.sh build/ci
stage ""
printf '%s\n' "== time per stage" "${times[@]}" "$(printf '%5ds  in all' "$SECONDS")"
if [ -n "${CCACHE_DIR:-}" ]; then ccache --show-stats | grep -E 'Hits|Misses|Cache size' || true; fi
