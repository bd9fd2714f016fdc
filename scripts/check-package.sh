#!/usr/bin/env bash
# Builds the Debian package from a configured build dir, checks what it holds
# and runs the packaged binary on the sample file.
set -euo pipefail
build=${1:?usage: check-package.sh BUILD_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$build"
rm -f tamb_*.deb
cpack -G DEB > /dev/null
deb=$(ls tamb_*.deb)
contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/tamb ./usr/share/man/man1/tamb.1 ./usr/share/doc/tamb/copyright \
            ./usr/share/cmake/tamb/tambConfig.cmake ./usr/share/cmake/tamb/tambConfigVersion.cmake \
            ./usr/share/cmake/tamb/tamb-run.cmake; do
  grep -q " $path\$" <<<"$contents" || { echo "package lacks $path"; echo "$contents"; exit 1; }
done
x=$(mktemp -d)
trap 'rm -rf "$x"' EXIT
dpkg -x "$deb" "$x"
expected="$root/samples/example.rsrc resources (PE format):

 type     ID   size  name
------------------------------------
'LONG'     1      4  a
'CSTR'     5      3  (no name)"
got=$("$x/usr/bin/tamb" -l "$root/samples/example.rsrc")
[ "$got" = "$expected" ] || { echo "packaged tamb listed:"; echo "$got"; exit 1; }
echo "$deb: binary, manual page, copyright and CMake package present; packaged tamb lists the sample"
