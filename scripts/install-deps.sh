#!/usr/bin/env bash
# Installs the Debian packages that are missing for a purpose:
#   build  - compiler and CMake
#   test   - build + GoogleTest, valgrind, clang with its fuzzing runtime,
#            GNU time for the benchmark's smoke run, and the mingw-w64 cross
#            compiler, wine and unzip for the Windows build and its checks,
#            and openssl and osslsigncode, which sign a program for the tests,
#            and Ninja, one of the two generators the CMake package's
#            example is built with, and pkg-config, through which the
#            Linux example of libtamb finds it
set -euo pipefail
want=(cmake make g++)
if [ "${1:-build}" = test ]; then
  want+=(libgtest-dev valgrind clang-14 libclang-rt-14-dev time)
  want+=(g++-mingw-w64-x86-64 wine64 unzip)
  want+=(openssl osslsigncode)
  want+=(ninja-build pkg-config)
fi
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
