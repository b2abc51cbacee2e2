#!/usr/bin/env bash
# Builds 7-Zip's own 32-bit 7z.dll (all formats, 7z with 7zAES) for the Windows executable's 7zDLL
# resource, from the source package of the Debian release this machine runs, with mingw-w64.
#
#   tools/build-7z-dll.sh OUTDIR     ->  OUTDIR/7z.dll
#
# The source comes through a private apt configuration under OUTDIR that adds the deb-src entry,
# so the machine's own apt setup stays as it is. A finished build is kept: the script does nothing
# when OUTDIR/7z.dll was made from the same source version.
set -euo pipefail

out=${1:?usage: build-7z-dll.sh OUTDIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)

fail() {
  echo "build-7z-dll: $*" >&2
  exit 1
}

codename=$(. /etc/os-release && echo "${VERSION_CODENAME:?}")
apt_dir="$out/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $codename main" \
  >"$apt_dir/sources.list"
apt_options=(-q -o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache::Archives=$apt_dir/archives"
  -o APT::Sandbox::User=root)

# The source version this release's apt knows; the one the binary package has, when installed.
if ! ls "$apt_dir"/lists/*Sources* >/dev/null 2>&1; then
  apt-get "${apt_options[@]}" update >/dev/null || fail "apt-get update of the source index failed"
fi
version=$(apt-cache "${apt_options[@]}" showsrc 7zip 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -1)
[ -n "$version" ] || fail "no 7zip source package for $codename"

if [ -f "$out/7z.dll" ] && [ "$(cat "$out/7z.dll.version" 2>/dev/null)" = "$version" ]; then
  exit 0
fi

src="$out/src"
rm -rf "$src"
mkdir -p "$src"
(cd "$src" && apt-get "${apt_options[@]}" source --download-only "7zip=$version" >/dev/null) ||
  fail "apt-get source 7zip=$version failed"
dsc=$(ls "$src"/*.dsc)
dpkg-source -x --no-check "$dsc" "$src/tree" >/dev/null || fail "dpkg-source could not unpack $dsc"

# Debian's source leaves out the RAR code; its own build says DISABLE_RAR=1 as well.
bundle="$src/tree/CPP/7zip/Bundles/Format7zF"
make -C "$bundle" -f makefile.gcc -j"$(nproc)" IS_MINGW=1 MSYSTEM=1 DISABLE_RAR=1 \
  CC=i686-w64-mingw32-gcc CXX=i686-w64-mingw32-g++-posix \
  RC="i686-w64-mingw32-windres -F pe-i386" >"$out/build.log" 2>&1 ||
  fail "the 7z.dll build failed, see $out/build.log"

dll="$bundle/_o/7z.dll"
[ -f "$dll" ] || fail "the build made no 7z.dll"
headers=$(i686-w64-mingw32-objdump -p "$dll")
grep -q "file format pei-i386" <<<"$headers" || fail "$dll is not a 32-bit PE image"
grep -q "CreateObject" <<<"$headers" || fail "$dll exports no CreateObject"
cp "$dll" "$out/7z.dll"
echo "$version" >"$out/7z.dll.version"
rm -rf "$src"
echo "build-7z-dll: $out/7z.dll (7zip $version)"
