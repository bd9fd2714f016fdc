#!/usr/bin/env bash
# The CMake package as a user meets it: tamb from a Linux build dir is
# installed into a temporary prefix, and the example in examples/attach/ is
# built against it with the mingw-w64 toolchain, by Make (found through
# CMAKE_PREFIX_PATH) and by Ninja (through tamb_DIR). Each program must hold
# the resources of the text form; an edit of the text must be attached by the
# next build; a fault in the text, or a damaged resource file, must fail the
# build and remove the program; and the program must run under wine (a fresh
# prefix, removed at the end).
set -euo pipefail
linux=${1:?usage: check-attach.sh LINUX_BUILD_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
work=$(mktemp -d /tmp/tamb-attach.XXXXXX)
export WINEDEBUG=-all LC_ALL=C.UTF-8 WINEPREFIX=$work/wine
trap '"$wineserver" -k > /dev/null 2>&1 || true; rm -rf "$work"' EXIT
start=$(date +%s)

cmake --install "$linux" --prefix "$work/prefix" > /dev/null
tamb=$work/prefix/bin/tamb
cp -r "$root/examples/attach" "$work/src" # edited below
text=$work/src/resources.txt
cmake -S "$work/src" -B "$work/make" -G "Unix Makefiles" -DCMAKE_PREFIX_PATH="$work/prefix" \
      --toolchain "$root/cmake/windows-x86_64.cmake" > /dev/null
cmake -S "$work/src" -B "$work/ninja" -G Ninja -Dtamb_DIR="$work/prefix/share/cmake/tamb" \
      --toolchain "$root/cmake/windows-x86_64.cmake" > /dev/null
grep -q "^tamb_DIR:PATH=$work/prefix/" "$work/make/CMakeCache.txt"

# Both builds, each program checked against the text but for the line that
# names the file listed.
build_and_compare() {
  for build in make ninja; do
    cmake --build "$work/$build" > "$work/$build.log" 2>&1 || { cat "$work/$build.log"; exit 1; }
    diff <("$tamb" --text "$work/$build/hello.exe" | grep -v '^# .* format)$') \
         <("$tamb" --text "$text" | grep -v '^# .* format)$')
  done
}
build_and_compare
sed -i 's/int32 10 20 640 480/int32 0 0 800 600/' "$text"
build_and_compare
"$tamb" --text "$work/ninja/hello.exe" | grep -q '^  int32 0 0 800 600$'

cp "$text" "$work/resources.good"
printf '%s\n' "resource 'LONG' 1" '  int32 x' >> "$text"
for build in make ninja; do
  ! cmake --build "$work/$build" > "$work/$build.log" 2>&1 || { echo "$build: a faulty text built"; exit 1; }
  grep -q "resources.txt:11: error: bad value 'x'" "$work/$build.log" || { cat "$work/$build.log"; exit 1; }
  [ ! -e "$work/$build/hello.exe" ] || { echo "$build: hello.exe kept after tamb failed"; exit 1; }
done
cp "$work/resources.good" "$text"

# A copy of the sample whose map checksum is wrong, attached too: tamb runs
# with --strict, so the damage fails the build instead of being dropped.
cp "$root/samples/example.rsrc" "$work/src/damaged.rsrc"
printf '\377' | dd of="$work/src/damaged.rsrc" bs=1 seek=2021 conv=notrunc 2> /dev/null
cp "$work/src/CMakeLists.txt" "$work/CMakeLists.good"
echo 'tamb_add_resources(TARGET hello RESOURCES damaged.rsrc)' >> "$work/src/CMakeLists.txt"
for build in make ninja; do
  ! cmake --build "$work/$build" > "$work/$build.log" 2>&1 || { echo "$build: a damaged input built"; exit 1; }
  grep -q "error: problem reading resources from $work/src/damaged.rsrc" "$work/$build.log" ||
    { cat "$work/$build.log"; exit 1; }
  [ ! -e "$work/$build/hello.exe" ] || { echo "$build: hello.exe kept after tamb failed"; exit 1; }
done
cp "$work/CMakeLists.good" "$work/src/CMakeLists.txt"
build_and_compare
echo "examples/attach built by Make and Ninja: resources as in the text, edits attached, faults and damage fail the build"

"$wine" wineboot --init < /dev/null > /dev/null 2>&1
setsid "$wineserver" -p < /dev/null > /dev/null 2>&1 &
got=$("$wine" "$work/make/hello.exe" < /dev/null | tr -d '\r')
[ "$got" = hello ] || { echo "hello.exe printed: $got"; exit 1; }
echo "hello.exe runs under wine; the check took $(( $(date +%s) - start )) s"
