#!/usr/bin/env bash
# Builds the installer's two payload resources from Debian's packages, offline once they are installed:
#   OUTDIR/KYR.7z  the payload archive (resource KYR7z); file contents encrypted with 7zAES, header
#                  readable, because the installer hands over the password only after opening it
#   OUTDIR/7z.dll  the archive library (resource 7zDLL)
# The assembled tree stays in OUTDIR/tree for inspection. A second run with the same script and the
# same package versions only touches OUTDIR/payload.stamp.
#
# 7z.dll: on Linux the library resource is Debian's /usr/lib/p7zip/7z.so, which the emulated machine
# loads. The Windows build needs 7-Zip's 32-bit 7z.dll instead; this script does not fetch it, the
# CMake glue (cmake/Payload.cmake, VELUND_WINDOWS_7Z_DLL) takes it from a local file.
set -euo pipefail

usage() {
  echo "usage: $0 OUTDIR" >&2
  exit 2
}
fail() {
  echo "build-payload: $*" >&2
  exit 1
}
[ $# -eq 1 ] || usage

script=$(readlink -f "$0")
mkdir -p "$1"
out=$(cd "$1" && pwd)

readonly password=qolvast
# Every file and folder gets this time, so the tree (and the archive's listing) is the same on each run.
readonly fixed_time='2023-02-15 00:00:00 UTC'

packages=(grub-common grub-pc-bin grub-efi-ia32-bin grub-efi-amd64-bin grub-efi-amd64-signed
          shim-signed shim-helpers-amd64-signed shim-unsigned p7zip-full)

# ---- Packages -----------------------------------------------------------------------------------
installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "build-payload: installing ${missing[*]}"
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo -n)
  # A failing index (often a foreign architecture's) need not stop the install of amd64 packages.
  "${as_root[@]}" apt-get update || echo "build-payload: apt-get update failed, trying the cached indexes" >&2
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}" ||
    fail "could not install ${missing[*]}"
fi

# ---- Skip when nothing changed ------------------------------------------------------------------
key=$({
  sha256sum <"$script"
  dpkg-query -W -f='${Package} ${Version}\n' "${packages[@]}"
} | sha256sum | cut -d' ' -f1)
if [ -f "$out/KYR.7z" ] && [ -f "$out/7z.dll" ] && [ "$(cat "$out/payload.key" 2>/dev/null)" = "$key" ] &&
  cmp -s /usr/lib/p7zip/7z.so "$out/7z.dll"; then
  touch "$out/payload.stamp"
  echo "build-payload: $out/KYR.7z is up to date"
  exit 0
fi
rm -f "$out/payload.key"

# ---- Tree ---------------------------------------------------------------------------------------
tree=$out/tree
rm -rf "$tree" "$out/KYR.7z.tmp"
kyr=$tree/files/KYR
efi=$tree/files/EFI
mkdir -p "$kyr/grub/fonts" "$kyr/grub/locale" "$kyr/grub/themes" "$kyr/grub/x86_64-efi" \
  "$kyr/grub/i386-efi" "$kyr/PXE/MS" "$kyr/Tools/7-Zip" "$kyr/Tools/Velund" "$efi/velund" \
  "$tree/grub/i386-pc" "$tree/tools"

need() {
  [ -f "$1" ] || fail "missing $1 (package $2)"
}

# Windows text files: CR LF line ends.
crlf() {
  sed 's/$/\r/' >"$1"
}

# A stand-in says what it replaces; the first line is the marker the tests and the emulated machine
# look for.
stand_in() {
  local path=$1 what=$2
  {
    echo "VELUND PAYLOAD STAND-IN"
    echo "Takes the place of: $what"
    echo "Debian ships no such file, so this text keeps the payload layout complete."
  } | crlf "$path"
}

# -- UEFI loaders. shim loads grubx64.efi and mmx64.efi from its own folder.
need /usr/lib/shim/shimx64.efi.signed shim-signed
need /usr/lib/shim/mmx64.efi.signed shim-helpers-amd64-signed
need /usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed grub-efi-amd64-signed
need /usr/share/shim/debian-uefi-ca.der shim-unsigned
cp /usr/lib/shim/shimx64.efi.signed "$efi/velund/shimx64.efi"
cp /usr/lib/shim/mmx64.efi.signed "$efi/velund/mmx64.efi"
cp /usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed "$efi/velund/grubx64.efi"
# The CA that signed grubx64.efi; shim already trusts it, enrolling it in MOK does no harm.
cp /usr/share/shim/debian-uefi-ca.der "$efi/ENROLL_THIS_KEY_IN_MOKMANAGER.cer"

# ia32 firmware gets GRUB itself as loader (\EFI\Boot\bootia32.efi). Its prefix is the folder it was
# started from, so it reads the grub.cfg beside it, which moves on to \KYR\grub on the main volume.
need /usr/lib/grub/i386-efi/moddep.lst grub-efi-ia32-bin
early_cfg=$out/ia32-early.cfg
# shellcheck disable=SC2016  # $cmdpath is GRUB's, not ours
echo 'set prefix=$cmdpath' >"$early_cfg"
grub-mkimage -O i386-efi -d /usr/lib/grub/i386-efi -c "$early_cfg" -p /EFI/velund \
  -o "$efi/velund/grubia32.efi" \
  part_msdos part_gpt fat ntfs exfat search search_fs_uuid search_fs_file search_label configfile \
  normal echo test true halt reboot sleep chain ls cat minicmd all_video gfxterm gfxterm_background \
  font png efifwsetup || fail "grub-mkimage for i386-efi failed"
rm -f "$early_cfg"
grub-file --is-i386-efi "$efi/velund/grubia32.efi" || fail "grubia32.efi is not an i386 EFI image"

stand_in "$efi/velund/grubaa64.efi" "GRUB for 64-bit ARM UEFI (\\EFI\\Boot\\grubaa64.efi)"
stand_in "$efi/velund/shimaa64.efi" "shim for 64-bit ARM UEFI (\\EFI\\Boot\\bootaa64.efi)"
stand_in "$efi/velund/mmaa64.efi" "MokManager for 64-bit ARM UEFI (\\EFI\\Boot\\mmaa64.efi)"

# -- GRUB's BIOS platform folder for the GRUB installer (-d grub\i386-pc); Debian's two host
#    programs in it are Linux executables and no platform files.
need /usr/lib/grub/i386-pc/moddep.lst grub-pc-bin
for f in /usr/lib/grub/i386-pc/*; do
  case ${f##*/} in
    grub-bios-setup | grub-ntldr-img) ;;
    *) cp "$f" "$tree/grub/i386-pc/" ;;
  esac
done
stand_in "$tree/tools/grub-install.exe" \
  "the GRUB installer for Windows, run as tools\\grub-install.exe -d grub\\i386-pc --boot-directory=D:\\KYR ..."

# -- \KYR\grub: the menu, font, locales, theme and the UEFI module folders that insmod reads from
#    $prefix. The BIOS modules come from the GRUB installer (it fills \KYR\grub\i386-pc).
cp /usr/lib/grub/x86_64-efi/*.mod /usr/lib/grub/x86_64-efi/*.lst "$kyr/grub/x86_64-efi/"
cp /usr/lib/grub/i386-efi/*.mod /usr/lib/grub/i386-efi/*.lst "$kyr/grub/i386-efi/"
need /usr/share/grub/unicode.pf2 grub-common
cp /usr/share/grub/unicode.pf2 "$kyr/grub/fonts/"
for mo in /usr/share/locale/*/LC_MESSAGES/grub.mo; do
  [ -f "$mo" ] || continue
  lang=${mo#/usr/share/locale/}
  cp "$mo" "$kyr/grub/locale/${lang%%/*}.mo"
done
# 64x48, one dark blue; gfxterm stretches it.
base64 -d >"$kyr/grub/themes/splash.png" <<'EOF'
iVBORw0KGgoAAAANSUhEUgAAAEAAAAAwCAIAAAAuKetIAAAARElEQVR42u3PQQkAAAgEsItgBKPYP5UV/AqDFViq57UICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICFwtdT9ATOhWyUkAAAAASUVORK5CYII=
EOF

cat >"$kyr/grub/grub.cfg" <<'EOF'
# Main menu. BIOS GRUB (installed with the boot directory \KYR) and the UEFI loaders (through
# \EFI\velund\grub.cfg on the FAT32 partition) both arrive here with $prefix = (volume)/KYR/grub.
set default=0
set timeout=10

if loadfont $prefix/fonts/unicode.pf2; then
  insmod all_video
  insmod gfxterm
  insmod png
  set gfxmode=auto
  terminal_output gfxterm
  background_image $prefix/themes/splash.png
fi

menuentry "Boot from first hard disk" {
  if [ "$grub_platform" = "efi" ]; then
    # Back to the firmware, which goes on with the next entry of its boot order.
    exit
  fi
  # This disk is hd0; swapping lets the chained boot code find the hard disk as drive 0x80.
  insmod chain
  insmod drivemap
  drivemap -s (hd0) (hd1)
  set root=(hd1)
  chainloader +1
  boot
}

if [ "$grub_platform" = "efi" ]; then
  menuentry "UEFI firmware settings" {
    fwsetup
  }
fi

menuentry "Reboot" {
  reboot
}

menuentry "Power off" {
  halt
}
EOF
grub-script-check "$kyr/grub/grub.cfg" || fail "grub.cfg does not parse"

copyright() {
  if [ -f "$1" ]; then cp "$1" "$2"; else echo "See the copyright file of Debian package $3." >"$2"; fi
}
copyright /usr/share/doc/grub-common/copyright "$kyr/grub/COPYING" grub-common

# -- Tools. The installer copies 7z.dll into 7-Zip\ and rewrites Velund\Info.ini; both folders must
#    hold a file, since extraction creates no empty folders.
copyright /usr/share/doc/p7zip-full/copyright "$kyr/Tools/7-Zip/License.txt" p7zip-full
stand_in "$kyr/Tools/Velund/Velund_Orrin.exe" "the main application Velund Orrin (Windows executable)"
crlf "$kyr/Tools/Velund/Info.ini" <<'EOF'
; Velund Orrin settings. The installer sets Build in [Info]; comments are not kept.

[Info]
; Build number of the payload on this drive
Build=00000000
Name=Velund Orrin

[Options]
Language=EN_US
ShowMenu=1
EOF

stand_in "$kyr/PXE/MS/boot.sdi" "the System Deployment Image for ramdisk boot (\\KYR\\PXE\\MS\\boot.sdi)"

# -- Start script, copied to the root of the main volume.
crlf "$tree/files/Velund_Orrin.cmd" <<'EOF'
@echo off
rem Starts Velund Orrin from the drive this script is on.
cd /d "%~dp0KYR\Tools\Velund"
start "" "%~dp0KYR\Tools\Velund\Velund_Orrin.exe"
EOF

# ---- Archive ------------------------------------------------------------------------------------
find "$tree" -type d -exec chmod 755 {} +
find "$tree" -type f -exec chmod 644 {} +
find "$tree" -exec touch -h -d "$fixed_time" {} +

# Files only, sorted: the extraction creates folders from the file paths anyway. The salt and IV of
# 7zAES are random, so the archive bytes differ between runs while the listing does not.
list=$out/payload.list
(cd "$tree" && find . -type f | sed 's|^\./||' | LC_ALL=C sort) >"$list"
(cd "$tree" && 7z a -t7z "-p$password" -mhe=off -mtm=on -mtc=off -mta=off -bd -bso0 -bsp0 \
  "$out/KYR.7z.tmp" "@$list") || fail "7z a failed"
7z t "-p$password" -bd -bso0 -bsp0 "$out/KYR.7z.tmp" || fail "the new archive does not test"
mv -f "$out/KYR.7z.tmp" "$out/KYR.7z"

cp /usr/lib/p7zip/7z.so "$out/7z.dll"
echo "$key" >"$out/payload.key"
touch "$out/payload.stamp"
echo "build-payload: $out/KYR.7z ($(stat -c %s "$out/KYR.7z") bytes, $(wc -l <"$list") files)"
