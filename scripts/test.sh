#!/usr/bin/env bash
# Installs what is needed, builds every part with warnings as errors, and runs every test:
# the normal build, then the same tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# then a short bounded run of each fuzz target, the Windows build with its tests under Wine, and
# the Debian package installed and run in a clean Debian 12 root.
set -euo pipefail
cd "$(dirname "$0")/.."
# A fresh Debian root sets no locale, and tests name files in Chinese: everything here runs in
# C.UTF-8, which every Debian root has.
export LC_ALL=C.UTF-8
bash scripts/install-deps.sh
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

echo "== build and test (RelWithDebInfo, -Werror)"
bash scripts/build.sh build/ci -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_WERROR=ON
(cd build/ci && ctest --output-on-failure -j "$jobs")

echo "== build and test with ASan + UBSan"
bash scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DKESTRIX_WERROR=ON -DKESTRIX_SANITIZE=ON
(cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions="$PWD/../../tests/support/lsan-libraries.supp" UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j "$jobs")

echo "== Windows: cross build, the engine's tests and the command line end to end under Wine"
bash scripts/build-windows.sh --tests
# Started with LANG=C and no other locale, as on a fresh machine: the Unicode names under Wine
# must not depend on the caller's locale (test-windows.sh sets its own).
env -u LC_ALL -u LC_CTYPE -u LANGUAGE LANG=C bash scripts/test-windows.sh build/ci

if [ -f scripts/fuzz.sh ]; then
  echo "== fuzz"
  bash scripts/fuzz.sh
fi

echo "== package, installed into a clean Debian 12 root"
bash scripts/package-test.sh
