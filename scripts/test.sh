#!/usr/bin/env bash
# Builds and runs every test: the suite under AddressSanitizer +
# UndefinedBehaviorSanitizer, libtamb's tests under ThreadSanitizer, brief
# fuzzing runs, a smoke run of the benchmark, the Debian package check, the
# Windows build with its checks under wine, the CMake package and libtamb
# with their examples, and the suite with warnings as errors. Ends with
# CTest's summary. Each stage's line says how long the run has taken so far.
# Compilers run through ccache, so that a second run, from any clone of the
# project, rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
jobs=$(nproc)
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
export TAMB_FUZZ_SECONDS=${TAMB_FUZZ_SECONDS:-10}

cmake --preset sanitizers > /dev/null
cmake --build --preset sanitizers -j"$jobs"
echo "== [${SECONDS} s] tests under AddressSanitizer + UndefinedBehaviorSanitizer"
ctest --preset sanitizers
# CTest lists a skipped test without the reason it gave: each reason, with
# how many tests gave it.
{ grep -h -A1 ': Skipped$' build/asan/Testing/Temporary/LastTest.log || true; } |
  { grep -v -e ': Skipped$' -e '^--$' || true; } | sort | uniq -c | sed 's/^ *\([0-9]*\) /  \1 skipped: /'

cmake --preset threads > /dev/null
cmake --build --preset threads -j"$jobs"
echo "== [${SECONDS} s] libtamb under ThreadSanitizer"
ctest --preset threads

cmake --preset release > /dev/null
cmake --build --preset release -j"$jobs"
if [ -x fuzz/run-brief.sh ]; then
  echo "== [${SECONDS} s] brief fuzzing runs, and the end-to-end tests under valgrind"
  TAMB_MEMCHECK_BUILD=build/release fuzz/run-brief.sh
fi
echo "== [${SECONDS} s] benchmark smoke run (outputs checked against the recorded hashes)"
bench/run.sh --smoke --build build/release --check bench/baseline-sha256.txt
echo "== [${SECONDS} s] Debian package"
scripts/check-package.sh build/release
echo "== [${SECONDS} s] Windows build (mingw-w64), checked under wine"
cmake --preset windows > /dev/null
cmake --build --preset windows -j"$jobs"
scripts/check-windows.sh build/windows build/release
echo "== [${SECONDS} s] CMake package and libtamb: examples/attach, examples/embed and examples/beside built against an installed tamb"
scripts/check-attach.sh build/release build/windows
echo "== [${SECONDS} s] tests"
ctest --preset release
