#!/usr/bin/env bash
# release_test.sh SOURCE WORK NATIVE: makes the release artifacts with
# cmake/release.cmake into WORK, with an aarch64 program that joins the
# sample wrongly and with one that fails, and checks that each such
# release fails and leaves no dist/; then makes them as they are, and
# checks them (check_release.sh), leaving them in WORK/dist for the
# image's tests.  Exits 77, which ctest counts as skipped, where the
# cross compiler, qemu or mmdebstrap is missing.
set -euo pipefail
source=$1 work=$2 native=$3

for tool in aarch64-linux-gnu-g++ qemu-aarch64-static dpkg-deb file lintian mmdebstrap; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool not found (bash .ci/deps installs it): the release was not made"
    exit 77
  fi
done

# Emulators that make the aarch64 program look wrong: one changes a byte
# of what it writes, one fails.
fakes=$work/fakes
mkdir -p "$fakes"
printf '#!/bin/sh\nqemu-aarch64-static "$@" | tr r R\n' > "$fakes/wrong"
printf '#!/bin/sh\nqemu-aarch64-static "$@"\nexit 1\n' > "$fakes/failing"
chmod +x "$fakes/wrong" "$fakes/failing"
for fake in wrong failing; do
  if cmake -DOUT="$work" -DQEMU_AARCH64="$fakes/$fake" -P "$source/cmake/release.cmake" \
    > "$work/$fake.log" 2>&1; then
    echo "the release passed with an aarch64 program that is $fake"
    exit 1
  fi
  if [[ -e $work/dist ]]; then
    echo "the release with an aarch64 program that is $fake left dist/:"
    ls -l "$work/dist"
    exit 1
  fi
  echo "release: refused, leaving no dist/, with an aarch64 program that is $fake"
done

# Made with OUT relative to where cmake runs, over stale packages that
# earlier runs left in the packages and staging folders: dist/ holds
# exactly the artifacts named.
mkdir -p "$work/build-release/x86_64/packages" "$work/build-release/staging"
touch "$work/build-release/x86_64/packages/tagjoin_0.9.0_amd64.deb" \
  "$work/build-release/staging/tagjoin_0.9.0_arm64.deb"
(cd "$(dirname "$work")" && cmake -DOUT="$(basename "$work")" -P "$source/cmake/release.cmake")
sh "$source/tests/check_release.sh" "$work/dist" "$source/examples/sample.txt" "$native"
version=$(sed -n 's/^project(tagjoin VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
got=$(cd "$work/dist" && ls)
want=$(printf '%s\n' SHA256SUMS "tagjoin-$version-image-aarch64.tar" \
  "tagjoin-$version-image-x86_64.tar" "tagjoin-$version-linux-aarch64.tar.gz" \
  "tagjoin-$version-linux-x86_64.tar.gz" "tagjoin_${version}_amd64.deb" "tagjoin_${version}_arm64.deb")
if [[ $got != "$want" ]]; then
  printf 'dist/ holds:\n%s\nnot:\n%s\n' "$got" "$want"
  exit 1
fi

# cmake --install leaves out lintian's overrides, which the .deb alone
# holds (check_release.sh).
rm -rf "$work/prefix"
cmake --install "$work/build-release/x86_64" --prefix "$work/prefix" > /dev/null
if [[ -e $work/prefix/share/lintian ]]; then
  echo "cmake --install put lintian's overrides into $work/prefix"
  exit 1
fi

# Debian's package checker finds no error and no warning in either .deb,
# its copyright file included; the hints it prints are shown.
for deb in "$work"/dist/*.deb; do
  lintian --fail-on error,warning "$deb"
  echo "release: lintian passes $(basename "$deb")"
done
