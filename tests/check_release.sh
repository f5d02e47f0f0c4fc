#!/bin/sh
# check_release.sh DIST SAMPLE NATIVE: checks the release artifacts that
# cmake/release.cmake left in DIST.  Each tarball and .deb must hold
# statically linked programs for its own processor, tagjoin and tagpick
# (with ISA-L), their man pages and the licence; tagpick and tagjoin must
# join SAMPLE, gzipped, as the NATIVE tagjoin joins SAMPLE (the aarch64
# ones under qemu-aarch64-static); and the x86-64 programs must run in an
# empty root directory, where no library could be found.
set -eu
dist=$1 sample=$2 native=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$native" < "$sample" > "$tmp/want"
gzip -c "$sample" > "$tmp/sample.gz"
version=$(sed -n 's/^project(tagjoin VERSION \([0-9.]*\).*/\1/p' \
  "$(dirname "$0")/../CMakeLists.txt")

# check_program FILE FILE_SAYS EMULATOR...: the program is static, of the
# processor named, and joins the sample as the native build does.
check_program() {
  program=$1 says=$2
  shift 2
  description=$(file -b "$program")
  case $description in
  *"$says"*"statically linked"*) ;;
  *) echo "$program: not a static $says program: $description"; exit 1 ;;
  esac
  "$@" "$program" < "$sample" > "$tmp/got"
  cmp "$tmp/got" "$tmp/want"
}

# check_pair BIN FILE_SAYS EMULATOR...: tagpick in BIN is static, of the
# processor named, inflates with ISA-L, and with tagjoin joins the sample
# gzipped as the native build joins it plain.
check_pair() {
  bin=$1 says=$2
  shift 2
  check_program "$bin/tagjoin" "$says" "$@"
  case $(file -b "$bin/tagpick") in
  *"$says"*"statically linked"*) ;;
  *) echo "$bin/tagpick: not a static $says program"; exit 1 ;;
  esac
  "$@" "$bin/tagpick" --version | grep -q 'inflating with ISA-L '
  "$@" "$bin/tagpick" "$tmp/sample.gz" > "$tmp/picked"
  "$@" "$bin/tagjoin" < "$tmp/picked" | cmp - "$tmp/want"
}

for arch in x86_64 aarch64; do
  case $arch in
  x86_64) deb_arch=amd64 says=x86-64 emulator= ;;
  aarch64) deb_arch=arm64 says="ARM aarch64" emulator=qemu-aarch64-static ;;
  esac

  tarball=$dist/tagjoin-$version-linux-$arch.tar.gz
  root=$tmp/tar-$arch
  mkdir "$root"
  tar -xzf "$tarball" -C "$root" --strip-components=1
  # shellcheck disable=SC2086 # no emulator for the native program
  check_pair "$root/bin" "$says" $emulator
  test -f "$root/share/man/man1/tagjoin.1.gz"
  test -f "$root/share/man/man1/tagpick.1.gz"
  grep -q '^MIT License' "$root/share/doc/tagjoin/LICENSE"
  test -f "$root/share/doc/tagjoin/README.md"
  # lintian's overrides are for the .deb alone, not for a prefix.
  test ! -e "$root/share/lintian"

  deb=$dist/tagjoin_${version}_$deb_arch.deb
  dpkg-deb --field "$deb" Architecture | grep -qx "$deb_arch"
  if dpkg-deb --field "$deb" Depends | grep -q .; then
    echo "$deb: a static program depends on nothing"; exit 1
  fi
  mkdir "$tmp/deb-$arch"
  dpkg-deb -x "$deb" "$tmp/deb-$arch"
  # shellcheck disable=SC2086
  check_pair "$tmp/deb-$arch/usr/bin" "$says" $emulator
  test -f "$tmp/deb-$arch/usr/share/man/man1/tagjoin.1.gz"
  test -f "$tmp/deb-$arch/usr/share/man/man1/tagpick.1.gz"
  test -f "$tmp/deb-$arch/usr/share/lintian/overrides/tagjoin"
  grep -qx 'License: MIT' "$tmp/deb-$arch/usr/share/doc/tagjoin/copyright"
  echo "release: $(basename "$tarball") $(basename "$deb") checked"
done

# The x86-64 program alone in a root directory: no loader, no libc, no
# /proc.  A user who is not root gets a user namespace to chroot in.
empty=$tmp/empty
mkdir "$empty"
cp "$tmp/tar-x86_64/bin/tagjoin" "$tmp/tar-x86_64/bin/tagpick" "$tmp/sample.gz" "$empty/"
in_empty_root() {
  if [ "$(id -u)" -eq 0 ]; then
    chroot "$empty" /tagjoin
  else
    unshare --map-root-user chroot "$empty" /tagjoin
  fi
}
in_empty_root < "$sample" > "$tmp/got"
cmp "$tmp/got" "$tmp/want"
status=0
printf 'rs\nSNP\nCTG\n' | in_empty_root > "$tmp/got" 2> "$tmp/err" || status=$?
test "$status" -eq 255
printf 'rs | SNP' | cmp - "$tmp/got"
printf '"VAL" expected at beginning of input line 3' | cmp - "$tmp/err"
status=0
in_empty_root < / > "$tmp/got" 2> "$tmp/err" || status=$?
test "$status" -eq 255
printf 'error reading input: Is a directory' | cmp - "$tmp/err"
if [ "$(id -u)" -eq 0 ]; then
  chroot "$empty" /tagpick /sample.gz > "$tmp/got"
else
  unshare --map-root-user chroot "$empty" /tagpick /sample.gz > "$tmp/got"
fi
"$native" < "$tmp/got" | cmp - "$tmp/want"
echo "release: the static x86-64 programs run in an empty root directory"
