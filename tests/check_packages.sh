#!/bin/sh
# check_packages.sh BUILD SAMPLE BUILT: makes the .tar.gz and .deb with
# CPack, installs the tarball into a temporary prefix, runs the installed
# programs on SAMPLE, gzipped for tagpick, against the BUILT tagjoin, and
# checks the .deb's contents and metadata: its dependencies name the
# library that tagpick inflates with, when it links one.  Both are named
# as a local build's, never as the release's.
set -eu
build=$1 sample=$2 built=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$tmp/out" > "$tmp/cpack.log" ||
  { cat "$tmp/cpack.log"; exit 1; }

version=$(sed -n 's/^project(tagjoin VERSION \([0-9.]*\).*/\1/p' \
  "$(dirname "$0")/../CMakeLists.txt")
tarball=$tmp/out/tagjoin-$version+local-linux-$(uname -m).tar.gz
mkdir "$tmp/prefix"
tar -xzf "$tarball" -C "$tmp/prefix" --strip-components=1
test -x "$tmp/prefix/bin/tagjoin"
test -f "$tmp/prefix/share/man/man1/tagjoin.1.gz"
test -x "$tmp/prefix/bin/tagpick"
test -f "$tmp/prefix/share/man/man1/tagpick.1.gz"
"$tmp/prefix/bin/tagjoin" < "$sample" > "$tmp/installed.out"
"$built" < "$sample" > "$tmp/built.out"
cmp "$tmp/installed.out" "$tmp/built.out"
test -s "$tmp/installed.out"
gzip -c "$sample" > "$tmp/sample.gz"
"$tmp/prefix/bin/tagpick" "$tmp/sample.gz" | "$tmp/prefix/bin/tagjoin" | cmp - "$tmp/built.out"

deb=$tmp/out/tagjoin_$version+local_$(dpkg --print-architecture).deb
dpkg-deb --field "$deb" Package | grep -qx tagjoin
test "$(dpkg-deb --field "$deb" Version)" = "$version+local"
dpkg-deb --field "$deb" Architecture | grep -qx "$(dpkg --print-architecture)"
dpkg-deb --field "$deb" Depends | grep -q 'libc6'
dpkg-deb --field "$deb" Section | grep -qx science
dpkg-deb --contents "$deb" | grep -q ' ./usr/bin/tagjoin$'
dpkg-deb --contents "$deb" | grep -q ' ./usr/share/man/man1/tagjoin.1.gz$'
dpkg-deb --contents "$deb" | grep -q ' ./usr/bin/tagpick$'
dpkg-deb --contents "$deb" | grep -q ' ./usr/share/man/man1/tagpick.1.gz$'
case $("$tmp/prefix/bin/tagpick" --version) in
*ISA-L*) dpkg-deb --field "$deb" Depends | grep -q 'libisal2' ;;
*zlib*) dpkg-deb --field "$deb" Depends | grep -q 'zlib1g' ;;
esac
# The copyright file parses as dpkg parses it and gives back the licence.
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/tagjoin/copyright > "$tmp/copyright"
perl "$(dirname "$0")/copyright_licence.pl" "$tmp/copyright" | cmp - "$(dirname "$0")/../LICENSE"
echo "packages: $(basename "$tarball") $(basename "$deb") checked"
