#!/bin/bash
# Fails when an engine layer includes a layer above it. The layers, lowest first, are the
# folders of src/ named in LAYERS; sources/, cli/, widgets/ and app/ sit on top of them all.
set -euo pipefail
cd "$(dirname "$0")/../src"
LAYERS=(format io scan pst recover)
status=0
for ((i = 0; i < ${#LAYERS[@]}; i++)); do
  for ((j = i + 1; j < ${#LAYERS[@]}; j++)); do
    if grep -n "#include \"${LAYERS[j]}/" "${LAYERS[i]}"/*; then
      echo "check-layers: ${LAYERS[i]}/ includes ${LAYERS[j]}/, a layer above it" >&2
      status=1
    fi
  done
  for top in sources cli widgets app; do
    if grep -n "#include \"$top/" "${LAYERS[i]}"/*; then
      echo "check-layers: ${LAYERS[i]}/ includes $top/, which sits on the engine" >&2
      status=1
    fi
  done
done
exit $status
