#!/usr/bin/env bash
# Installs what is needed, builds, and runs the built-in example: a disk image with PST files
# cut into fragments out of order, scanned, extracted and rebuilt, then recovered in one step.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF
./build/src/cli/kestrix-cli example --dir kestrix-example
