#!/usr/bin/env bash
# Builds tamb (showing CMake's progress) and runs it on the sample resource
# file kept in samples/, in build/demo: nothing is left outside the checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake --preset tool
cmake --build --preset tool -j"$(nproc)"
tamb=$PWD/build/tool/tamb
samples=$PWD/samples
work=$PWD/build/demo
rm -rf "$work"
mkdir -p "$work"
cd "$work"
set -x
"$tamb" -l "$samples/example.rsrc"
"$tamb" -o merged.rsrc "$samples/example.rsrc"
"$tamb" -l merged.rsrc
