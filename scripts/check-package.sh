#!/usr/bin/env bash
# Builds the Debian package from a configured build dir, checks what it holds
# (the tool with its manual page, CMake package and JSON schema; libtamb with its header,
# manual page, pkg-config file and CMake package) and runs the packaged
# binary on the sample file.
set -euo pipefail
build=${1:?usage: check-package.sh BUILD_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$build"
rm -f tamb_*.deb
cpack -G DEB > /dev/null
deb=$(ls tamb_*.deb)
contents=$(dpkg-deb -c "$deb")
lib=./usr/lib/$(gcc -print-multiarch)
for path in ./usr/bin/tamb ./usr/libexec/tamb/tamb-embed ./usr/share/man/man1/tamb.1 ./usr/share/doc/tamb/copyright \
            ./usr/share/cmake/tamb/tambConfig.cmake ./usr/share/cmake/tamb/tambConfigVersion.cmake \
            ./usr/share/cmake/tamb/tamb-run.cmake ./usr/share/cmake/tamb/tamb-embed.cmake \
            ./usr/include/tamb/resources.h ./usr/include/tamb/version.h ./usr/share/man/man3/libtamb.3 \
            ./usr/share/tamb/tamb-listing.schema.json "$lib/libtamb.a" "$lib/pkgconfig/tamb.pc" \
            "$lib/cmake/tambresources/tambresourcesConfig.cmake" \
            "$lib/cmake/tambresources/tambresourcesConfigVersion.cmake"; do
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
grep -q ' T tamb_open$' <(nm "$x/$lib/libtamb.a" 2> /dev/null) || { echo "packaged libtamb.a lacks tamb_open"; exit 1; }
echo "$deb: binary, library, header, manual pages, copyright, pkg-config file, JSON schema and CMake packages present; packaged tamb lists the sample"
