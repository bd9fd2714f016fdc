#!/usr/bin/env bash
# Builds tamb and runs it on the sample resource file kept in samples/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMB_TESTS=OFF > /dev/null
cmake --build build/release -j"$(nproc)" --target tamb > /dev/null
tamb=$PWD/build/release/tamb
set -x
"$tamb" -l samples/example.rsrc
work=$(mktemp -d)
cd "$work"
"$tamb" -o merged.rsrc "$OLDPWD/samples/example.rsrc"
"$tamb" -l merged.rsrc
