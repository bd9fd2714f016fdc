#!/usr/bin/env bash
# Installs the Debian packages that are missing for a purpose:
#   build  - compiler and CMake
#   test   - build + GoogleTest, valgrind, clang with its fuzzing runtime,
#            GNU time for the benchmark's smoke run, and the mingw-w64 cross
#            compiler, wine and unzip for the Windows build and its checks,
#            and openssl and osslsigncode, which sign a program for the tests,
#            and Ninja, one of the two generators the CMake package's
#            example is built with, and pkg-config, through which the
#            Linux example of libtamb finds it, and python3-jsonschema,
#            which checks the JSON listing against its schema, git, in which
#            a test diffs resource files, and Node.js with npm, which
#            install the checkers of the text form's grammar (from the npm
#            registry, the versions editors/vscode/test/package-lock.json
#            pins, into build/grammar-tools, once for each lock file), and
#            ccache, through which the test command compiles
set -euo pipefail
want=(cmake make g++)
if [ "${1:-build}" = test ]; then
  want+=(libgtest-dev valgrind clang-14 libclang-rt-14-dev time)
  want+=(g++-mingw-w64-x86-64 wine64 unzip)
  want+=(openssl osslsigncode)
  want+=(ninja-build pkg-config ccache)
  want+=(python3-jsonschema git)
  command -v npm > /dev/null || want+=(nodejs npm)
fi
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
if [ "${1:-build}" = test ]; then
  root=$(cd "$(dirname "$0")/.." && pwd)
  pinned=$root/editors/vscode/test
  tools=$root/build/grammar-tools
  if ! cmp -s "$pinned/package-lock.json" "$tools/package-lock.json" ||
     [ ! -x "$tools/node_modules/.bin/vscode-tmgrammar-test" ]; then
    echo "installing the grammar's checkers into $tools"
    rm -rf "$tools"
    mkdir -p "$tools"
    cp "$pinned/package.json" "$pinned/package-lock.json" "$tools/"
    (cd "$tools" && npm ci --no-audit --no-fund --loglevel=error)
  fi
fi
