#!/usr/bin/env bash
# Builds and runs every test: the suite with warnings as errors, the same
# suite under AddressSanitizer + UndefinedBehaviorSanitizer, and, where the
# fuzz folder provides it, brief fuzzing runs. Ends with CTest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
jobs=$(nproc)

cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DTAMB_WERROR=ON -DTAMB_SANITIZE=ON > /dev/null
cmake --build build/asan -j"$jobs"
echo "== tests under AddressSanitizer + UndefinedBehaviorSanitizer"
ctest --test-dir build/asan --output-on-failure -j"$jobs"

if [ -x fuzz/run-brief.sh ]; then
  echo "== brief fuzzing runs"
  fuzz/run-brief.sh
fi

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMB_WERROR=ON > /dev/null
cmake --build build/release -j"$jobs"
echo "== tests"
ctest --test-dir build/release --output-on-failure -j"$jobs"
