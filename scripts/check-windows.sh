#!/usr/bin/env bash
# The Windows checks, under wine, of a Windows build dir (the `windows`
# preset) against a Linux build dir with the tests:
# - output_checks.exe: every kind of output and failure point, the file-size
#   limit emulated through the system-call table, and the signals;
# - the end-to-end table of cli_test, run against tamb.exe, which must print
#   the same lines and leave the same bytes as the Linux build;
# - real programs that tamb.exe has written into: their checksums as
#   imagehlp's CheckSumMappedFile computes them (mapped_checksum.exe), and
#   the 64-bit one still running;
# - the .zip package (tamb.exe, the README, the copyright file, and libtamb
#   with its header, pkg-config file and CMake package), and the packaged
#   tamb.exe listing the sample.
# Uses a fresh wine prefix, removed at the end.
set -euo pipefail
windows=${1:?usage: check-windows.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR}
linux=${2:?usage: check-windows.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
windows=$(cd "$windows" && pwd) linux=$(cd "$linux" && pwd)
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
export WINEDEBUG=-all LC_ALL=C.UTF-8
export WINEPREFIX=$(mktemp -d /tmp/tamb-wine.XXXXXX)
unpacked=$(mktemp -d) programs=$(mktemp -d)
cleanup() {
  "$wineserver" -k > /dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$unpacked" "$programs"
}
trap cleanup EXIT

# A fresh prefix, and a server that stays up while the checks run. The
# prefix's own processes are started here, away from the pipes that the
# tests read tamb's output from.
"$wine" wineboot --init < /dev/null > /dev/null 2>&1
setsid "$wineserver" -p < /dev/null > /dev/null 2>&1 &
"$wine" "$windows/tamb.exe" --version < /dev/null > /dev/null 2>&1
start=$(date +%s)

"$wine" "$windows/output_checks.exe" < /dev/null
TAMB_WINDOWS_EXE="$windows/tamb.exe" TAMB_WINE="$wine" "$linux/tests/cli_test" --gtest_brief=1

cd "$programs"
cp "$root/tests/data/hello.exe" "$root/tests/data/hello64.exe" .
for program in hello.exe hello64.exe; do
  "$wine" "$windows/tamb.exe" -o $program "$root/samples/example.rsrc" < /dev/null
done
expected="hello.exe: stored 0x00013506, computed 0x00013506
hello64.exe: stored 0x0000CB28, computed 0x0000CB28"
got=$("$wine" "$windows/mapped_checksum.exe" hello.exe hello64.exe < /dev/null | tr -d '\r') || true
[ "$got" = "$expected" ] || { echo "checksums after a merge:"; echo "$got"; exit 1; }
got=$("$wine" hello64.exe < /dev/null | tr -d '\r')
[ "$got" = hello ] || { echo "hello64.exe after a merge printed: $got"; exit 1; }
echo "hello.exe, hello64.exe merged: checksums as CheckSumMappedFile has them; hello64.exe runs"

cd "$windows"
rm -f tamb-*.zip
cpack -G ZIP > /dev/null
zip=$(ls tamb-*.zip)
contents=$(unzip -Z1 "$zip")
for name in tamb.exe README.md copyright include/tamb/resources.h lib/libtamb.a lib/pkgconfig/tamb.pc \
            lib/cmake/tambresources/tambresourcesConfig.cmake \
            lib/cmake/tambresources/tambresourcesConfigVersion.cmake; do
  grep -q "/$name\$" <<< "$contents" || { echo "package lacks $name"; echo "$contents"; exit 1; }
done
unzip -q "$zip" -d "$unpacked"
expected="$root/samples/example.rsrc resources (PE format):

 type     ID   size  name
------------------------------------
'LONG'     1      4  a
'CSTR'     5      3  (no name)"
got=$("$wine" "$(ls "$unpacked"/*/tamb.exe)" -l "$root/samples/example.rsrc" < /dev/null | tr -d '\r')
[ "$got" = "$expected" ] || { echo "packaged tamb.exe listed:"; echo "$got"; exit 1; }
echo "$zip: tamb.exe, README, copyright and libtamb with its header and packages present; packaged tamb.exe lists the sample"
echo "wine checks took $(( $(date +%s) - start )) s"
