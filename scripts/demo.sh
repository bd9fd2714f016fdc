#!/usr/bin/env bash
# Builds tamb and runs it on the sample resource file kept in samples/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake --preset tool > /dev/null
cmake --build --preset tool -j"$(nproc)" > /dev/null
tamb=$PWD/build/tool/tamb
samples=$PWD/samples
work=$(mktemp -d)
cd "$work"
set -x
"$tamb" -l "$samples/example.rsrc"
"$tamb" -o merged.rsrc "$samples/example.rsrc"
"$tamb" -l merged.rsrc
