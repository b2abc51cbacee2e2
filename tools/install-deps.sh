#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing.
# Usage: tools/install-deps.sh [--windows]
set -euo pipefail

packages=(cmake make g++ pkg-config libgtest-dev googletest nlohmann-json3-dev zlib1g-dev uuid-dev
          p7zip-full fdisk gdisk dosfstools mtools ntfs-3g fuse3 exfatprogs libhivex-bin python3-hivex
          grub-common grub-pc-bin python3 qemu-system-x86 ovmf ovmf-ia32 qemu-system-arm qemu-efi-aarch64
          sbsigntool openssl)
if [[ "${1:-}" == "--windows" ]]; then
  # dpkg-dev and xz-utils unpack the 7zip source package that 7z.dll is built from.
  packages+=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev dpkg-dev xz-utils)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

SUDO=""
[[ $(id -u) -ne 0 ]] && SUDO="sudo"
# One index failing to refresh is no reason to stop: the packages may well install anyway.
$SUDO apt-get update || echo "apt-get update reported a problem; trying the install anyway" >&2
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
