#!/usr/bin/env bash
# The CMake package and libtamb as a user meets them: tamb from a Linux build
# dir is installed into a temporary prefix, and the library of a Windows
# build dir (the `windows` preset) into the same prefix, where a cross build
# finds it (lib/cmake/tambresources beside the Linux one in lib/ARCH). Then:
# - examples/attach/ is built with the mingw-w64 toolchain, by Make (both
#   packages found through CMAKE_PREFIX_PATH) and by Ninja (through tamb_DIR
#   and tambresources_DIR). Each program must hold the resources of the text
#   form and, run under wine (a fresh prefix, removed at the end), print
#   them, read from itself; an edit of the file that the text's `file` line
#   names, and one of the text, must reach the resource file merged beside
#   it (tamb_add_resource_file) and the program by the next build, and a
#   build after it must do no work; a fault in the text, or a damaged
#   resource file, must fail the build;
# - the Linux library's package must be refused by the cross build;
# - examples/embed/ is built for Linux and for Windows, by Make and by
#   Ninja: its program and its shared library must each print their own
#   embedded resources (natively, and under wine), and the new ones after an
#   edit of a file the text names; a static library must be refused;
# - examples/beside/ is built with make against the library through
#   pkg-config, and its program must print the resources of the file beside
#   it, and the new ones once the text is edited.
set -euo pipefail
linux=${1:?usage: check-attach.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR}
windows=${2:?usage: check-attach.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
work=$(mktemp -d /tmp/tamb-attach.XXXXXX)
export WINEDEBUG=-all LC_ALL=C.UTF-8 WINEPREFIX=$work/wine
trap '"$wineserver" -k > /dev/null 2>&1 || true; rm -rf "$work"' EXIT
start=$(date +%s)
"$wine" wineboot --init < /dev/null > /dev/null 2>&1 &
booting=$!

cmake --install "$linux" --prefix "$work/prefix" > /dev/null
cmake --install "$windows" --prefix "$work/prefix" --component library > /dev/null
tamb=$work/prefix/bin/tamb
cp -r "$root/examples/attach" "$work/src" # edited below
text=$work/src/resources.txt
echo 'tamb_add_resource_file(beside OUTPUT hello.rsrc RESOURCES resources.txt)' >> "$work/src/CMakeLists.txt"
cmake -S "$work/src" -B "$work/make" -G "Unix Makefiles" -DCMAKE_PREFIX_PATH="$work/prefix" \
      --toolchain "$root/cmake/windows-x86_64.cmake" > /dev/null
cmake -S "$work/src" -B "$work/ninja" -G Ninja -Dtamb_DIR="$work/prefix/share/cmake/tamb" \
      -Dtambresources_DIR="$work/prefix/lib/cmake/tambresources" \
      --toolchain "$root/cmake/windows-x86_64.cmake" > /dev/null
grep -q "^tamb_DIR:PATH=$work/prefix/" "$work/make/CMakeCache.txt"
grep -q "^tambresources_DIR:PATH=$work/prefix/lib/cmake/tambresources" "$work/make/CMakeCache.txt"
# The Linux library's package is for Linux: a cross build refuses it.
linux_package=$(dirname "$(ls "$work"/prefix/lib/*/cmake/tambresources/tambresourcesConfig.cmake)")
! cmake -S "$work/src" -B "$work/refused" -Dtamb_DIR="$work/prefix/share/cmake/tamb" \
        -Dtambresources_DIR="$linux_package" \
        --toolchain "$root/cmake/windows-x86_64.cmake" > "$work/refused.log" 2>&1 ||
  { echo "a Windows build took the Linux library"; exit 1; }
grep -q "version: 0.1.0 (Linux x86_64)" "$work/refused.log" || { cat "$work/refused.log"; exit 1; }
wait $booting
setsid "$wineserver" -p < /dev/null > /dev/null 2>&1 &

# Both builds, each program and resource file checked against the text but
# for the line that names the file listed, and run: it must print what the
# text holds. Then a build with nothing edited must do no work.
build_and_compare() {
  for build in make ninja; do
    cmake --build "$work/$build" > "$work/$build.log" 2>&1 || { cat "$work/$build.log"; exit 1; }
    for file in hello.exe hello.rsrc; do
      diff <("$tamb" --text "$work/$build/$file" | grep -v '^# .* format)$') \
           <("$tamb" --text "$text" | grep -v '^# .* format)$')
    done
    got=$("$wine" "$work/$build/hello.exe" < /dev/null | tr -d '\r')
    [ "$got" = "$1" ] || { echo "$build: hello.exe printed:"; echo "$got"; exit 1; }
    cmake --build "$work/$build" > "$work/$build.log" 2>&1
    ! grep -E 'Merging|Linking|Attaching|^\[1/' "$work/$build.log" || { echo "$build: work redone"; exit 1; }
  done
}
build_and_compare $'Hello, world\nwindow: 10 20 640 480'
printf 'Hello, again\n' > "$work/src/greeting.txt"
build_and_compare $'Hello, again\nwindow: 10 20 640 480'
# The text's edit is seen by the last build below.
sed -i 's/int32 10 20 640 480/int32 0 0 800 600/' "$text"

cp "$text" "$work/resources.good"
printf '%s\n' "resource 'LONG' 1" '  int32 x' >> "$text"
for build in make ninja; do
  ! cmake --build "$work/$build" > "$work/$build.log" 2>&1 || { echo "$build: a faulty text built"; exit 1; }
  grep -q "resources.txt:13: error: bad value 'x'" "$work/$build.log" || { cat "$work/$build.log"; exit 1; }
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
done
cp "$work/CMakeLists.good" "$work/src/CMakeLists.txt"
build_and_compare $'Hello, again\nwindow: 0 0 800 600'
"$tamb" --text "$work/ninja/hello.exe" | grep -q '^  int32 0 0 800 600$'
echo "examples/attach built by Make and Ninja: resources as in the text and printed by the program under wine, edits of the text and of a file it names merged and attached, no work redone, faults and damage fail the build"

# examples/embed/, for Linux and for Windows, by Make and by Ninja: the
# program and its shared library (a DLL) each print their own resources,
# compiled in, before and after an edit of the file the program's text
# names; a static library is refused at configure time.
cp -r "$root/examples/embed" "$work/embed"
printf '%s\n' 'if(REFUSE)' ' add_library(archive STATIC words.c)' \
  ' tamb_embed_resources(TARGET archive RESOURCES words.txt)' 'endif()' >> "$work/embed/CMakeLists.txt"
for build in linux-make linux-ninja windows-make windows-ninja; do
  options=(-G "$([ "${build#*-}" = make ] && echo "Unix Makefiles" || echo Ninja)" -DCMAKE_PREFIX_PATH="$work/prefix")
  [ "${build%-*}" = linux ] || options+=(--toolchain "$root/cmake/windows-x86_64.cmake")
  cmake -S "$work/embed" -B "$work/embed-$build" "${options[@]}" > /dev/null
done
! cmake "$work/embed-linux-make" -DREFUSE=ON > "$work/refused.log" 2>&1 || { echo "a static library embedded"; exit 1; }
grep -q "tamb_embed_resources: archive is not a program or shared library" "$work/refused.log" ||
  { cat "$work/refused.log"; exit 1; }
cmake "$work/embed-linux-make" -DREFUSE=OFF > /dev/null
for greeting in 'Hello from inside the program' 'Hello again, from inside'; do
  printf '%s\n' "$greeting" > "$work/embed/greeting.txt"
  want="show: 'TEXT' 128 \"greeting\": $greeting\\x0A
show: 'RECT' 200 \"window\": \\x0A\\x00\\x00\\x00\\x14\\x00\\x00\\x00\\x80\\x02\\x00\\x00\\xE0\\x01\\x00\\x00
words: 'TEXT' 1 \"word\": library"
  for build in linux-make linux-ninja windows-make windows-ninja; do
    cmake --build "$work/embed-$build" > "$work/embed.log" 2>&1 || { cat "$work/embed.log"; exit 1; }
    if [ "${build%-*}" = linux ]; then
      got=$("$work/embed-$build/show")
    else
      got=$("$wine" "$work/embed-$build/show.exe" < /dev/null | tr -d '\r')
    fi
    [ "$got" = "$want" ] || { echo "$build: show printed:"; echo "$got"; exit 1; }
  done
done
# A text that cannot be read: the build fails and leaves no object behind.
echo 'not a line of the text' >> "$work/embed/resources.txt"
for build in linux-ninja windows-make; do
  ! cmake --build "$work/embed-$build" > "$work/embed.log" 2>&1 || { echo "$build: built from a damaged text"; exit 1; }
  [ -z "$(ls "$work/embed-$build"/tamb_embed/show.o "$work/embed-$build"/tamb_embed/show.obj 2> /dev/null)" ] ||
    { echo "$build: an object left behind"; exit 1; }
done
# A text that holds no resources: the program links, and embeds none.
printf '# tamb resource text 1\n' > "$work/embed/resources.txt"
cmake --build "$work/embed-linux-ninja" > "$work/embed.log" 2>&1 || { cat "$work/embed.log"; exit 1; }
! "$work/embed-linux-ninja/show" > /dev/null 2> "$work/show.err" && grep -q "^show: no resources embedded in " "$work/show.err" ||
  { echo "a text without resources:"; cat "$work/show.err"; exit 1; }
echo "examples/embed built for Linux and Windows by Make and Ninja: program and library each print their own resources, natively and under wine, and the edited ones; a static library refused; a damaged text fails the build, no object left; a text without resources embeds none"

# The Linux example, through pkg-config: the program reads the file beside it.
cp -r "$root/examples/beside" "$work/beside"
pkgconfig=$(dirname "$(ls "$work"/prefix/lib/*/pkgconfig/tamb.pc)")
for values in "10 20 640 480" "0 0 800 600"; do
  sed -i "s/int32 .*/int32 $values/" "$work/beside/resources.txt"
  PKG_CONFIG_PATH=$pkgconfig make -C "$work/beside" TAMB="$tamb" > "$work/beside.log" 2>&1 ||
    { cat "$work/beside.log"; exit 1; }
  got=$("$work/beside/greet")
  [ "$got" = $'Hello from beside the program\nwindow: '"$values" ] || { echo "greet printed: $got"; exit 1; }
done
echo "examples/beside built through pkg-config: greet prints the resources beside it, and the edited ones"
echo "the check took $(( $(date +%s) - start )) s"
