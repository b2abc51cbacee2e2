#!/usr/bin/env bash
# Builds the installer's two payload resources from Debian's packages, offline once they are installed:
#   OUTDIR/KYR.7z  the payload archive (resource KYR7z); file contents encrypted with 7zAES, header
#                  readable, because the installer hands over the password only after opening it
#   OUTDIR/7z.dll  the archive library (resource 7zDLL)
# The assembled tree stays in OUTDIR/tree for inspection. A second run with the same script, the
# same package versions and the same signing key only touches OUTDIR/payload.stamp.
#
# UEFI: the x64 and aa64 loaders are Debian's Microsoft-signed shim and MokManager with a GRUB image
# of our own (grub-mkimage, with an .sbat section), signed by a key made here on the first run and
# kept in OUTDIR/signing, never in the sources. Its certificate (DER) travels as
# files\EFI\ENROLL_THIS_KEY_IN_MOKMANAGER.cer: once the user enrols it in MokManager, shim starts our
# GRUB under Secure Boot. The arm64 pieces come from Debian's arm64 packages, downloaded into
# OUTDIR/arm64 through a private apt configuration.
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

packages=(grub-common grub-pc-bin grub-efi-ia32-bin grub-efi-amd64-bin shim-signed
          shim-helpers-amd64-signed sbsigntool openssl p7zip-full)
# The arm64 packages whose files the aa64 loaders are.
arm64_packages=(grub-efi-arm64-bin shim-signed shim-helpers-arm64-signed)

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

# ---- Signing key --------------------------------------------------------------------------------
signing=$out/signing
if [ ! -f "$signing/velund.key" ] || [ ! -f "$signing/velund.crt" ]; then
  mkdir -p "$signing"
  chmod 700 "$signing"
  openssl req -new -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 \
    -subj "/CN=Velund Orrin boot loader signing key $(date -u +%Y%m%d%H%M%S)/" \
    -keyout "$signing/velund.key.tmp" -out "$signing/velund.crt.tmp" 2>/dev/null ||
    fail "openssl could not make the signing key"
  mv -f "$signing/velund.key.tmp" "$signing/velund.key"
  mv -f "$signing/velund.crt.tmp" "$signing/velund.crt"
  echo "build-payload: made a new signing key in $signing"
fi
openssl x509 -in "$signing/velund.crt" -outform DER -out "$signing/velund.cer" ||
  fail "openssl could not write the certificate in DER form"

# ---- arm64 packages -----------------------------------------------------------------------------
# apt-get download through a configuration of our own: the machine's sources, architectures and
# package state stay untouched. The files are kept; a new version is fetched when the index has one.
arm64=$out/arm64
fetch_arm64() {
  local codename apt_dir
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:?}")
  apt_dir=$arm64/apt
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$arm64/debs"
  : >"$apt_dir/status"
  local keyring="signed-by=/usr/share/keyrings/debian-archive-keyring.gpg"
  {
    echo "deb [arch=arm64 $keyring] http://deb.debian.org/debian $codename main"
    echo "deb [arch=arm64 $keyring] http://deb.debian.org/debian $codename-updates main"
    echo "deb [arch=arm64 $keyring] http://deb.debian.org/debian-security $codename-security main"
  } >"$apt_dir/sources.list"
  local options=(-q -o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::State::status=$apt_dir/status"
    -o "Dir::Cache=$apt_dir/cache" -o "Dir::Cache::Archives=$apt_dir/archives"
    -o APT::Architecture=arm64 -o APT::Architectures::=arm64 -o APT::Sandbox::User=root)
  mkdir -p "$apt_dir/cache"
  apt-get "${options[@]}" update >"$apt_dir/update.log" 2>&1 || return 1
  rm -f "$arm64/debs"/*.deb
  (cd "$arm64/debs" && apt-get "${options[@]}" download "${arm64_packages[@]/%/:arm64}") \
    >"$apt_dir/download.log" 2>&1 || return 1
  rm -rf "$arm64/root"
  local deb
  for deb in "$arm64/debs"/*.deb; do
    dpkg-deb -x "$deb" "$arm64/root" || return 1
  done
  (cd "$arm64/debs" && ls) >"$arm64/versions"
}
have_arm64() {
  [ -f "$arm64/root/usr/lib/grub/arm64-efi/moddep.lst" ] &&
    [ -f "$arm64/root/usr/lib/shim/shimaa64.efi.signed" ] &&
    [ -f "$arm64/root/usr/lib/shim/mmaa64.efi.signed" ]
}
if ! have_arm64; then
  echo "build-payload: downloading ${arm64_packages[*]} for arm64"
  fetch_arm64 || echo "build-payload: WARNING: the arm64 packages could not be downloaded" \
    "(see $arm64/apt); the aa64 loaders stay stand-ins" >&2
fi

# ---- Skip when nothing changed ------------------------------------------------------------------
key=$({
  sha256sum <"$script"
  dpkg-query -W -f='${Package} ${Version}\n' "${packages[@]}"
  sha256sum <"$signing/velund.cer"
  cat "$arm64/versions" 2>/dev/null || echo "no arm64"
} | sha256sum | cut -d' ' -f1)
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

# -- UEFI loaders. shim loads grubx64.efi (grubaa64.efi) and mmx64.efi (mmaa64.efi) from its own
#    folder; ia32 firmware starts GRUB itself (\EFI\Boot\bootia32.efi).
need /usr/lib/shim/shimx64.efi.signed shim-signed
need /usr/lib/shim/mmx64.efi.signed shim-helpers-amd64-signed
cp /usr/lib/shim/shimx64.efi.signed "$efi/velund/shimx64.efi"
cp /usr/lib/shim/mmx64.efi.signed "$efi/velund/mmx64.efi"
cp "$signing/velund.cer" "$efi/ENROLL_THIS_KEY_IN_MOKMANAGER.cer"

# GRUB's generation stays Debian's (the code is Debian's GRUB), with a line for our own build, so
# that shim's SBAT revocations apply to it as to Debian's image.
grub_version=$(dpkg-query -W -f='${Version}' grub-common)
sbat=$out/grub.sbat
{
  echo "sbat,1,SBAT Version,sbat,1,https://github.com/rhboot/shim/blob/main/SBAT.md"
  echo "grub,5,Free Software Foundation,grub,2.06,https://www.gnu.org/software/grub/"
  echo "grub.debian,5,Debian,grub2,$grub_version,https://tracker.debian.org/pkg/grub2"
  echo "grub.velund,1,Velund,grub2,$grub_version,https://velund.example/orrin"
} >"$sbat"

# The prefix is the folder the image was started from (\EFI\velund or \EFI\Boot): GRUB reads the
# grub.cfg beside it, which finds the main volume and moves on to \KYR\grub. Everything the menus
# use is built in, because under Secure Boot GRUB loads no module from disk.
early_cfg=$out/efi-early.cfg
# shellcheck disable=SC2016  # $cmdpath is GRUB's, not ours
echo 'set prefix=$cmdpath' >"$early_cfg"
efi_modules=(part_msdos part_gpt fat ntfs exfat search search_fs_uuid search_fs_file search_label
  configfile normal echo test true halt reboot sleep chain ls cat minicmd all_video gfxterm
  gfxterm_background gfxmenu font png serial terminfo efifwsetup)

# grub_image PLATFORM OUTPUT MODULE_DIR: a signed GRUB image for that firmware.
grub_image() {
  local platform=$1 output=$2 modules=$3
  grub-mkimage -O "$platform" -d "$modules" -c "$early_cfg" -p /EFI/velund --sbat "$sbat" \
    -o "$output.unsigned" "${efi_modules[@]}" || fail "grub-mkimage for $platform failed"
  sbsign --key "$signing/velund.key" --cert "$signing/velund.crt" --output "$output" \
    "$output.unsigned" 2>/dev/null || fail "sbsign of the $platform GRUB image failed"
  rm -f "$output.unsigned"
  sbverify --cert "$signing/velund.crt" "$output" >/dev/null 2>&1 ||
    fail "the signature of the $platform GRUB image does not verify"
}
need /usr/lib/grub/x86_64-efi/moddep.lst grub-efi-amd64-bin
need /usr/lib/grub/i386-efi/moddep.lst grub-efi-ia32-bin
grub_image x86_64-efi "$efi/velund/grubx64.efi" /usr/lib/grub/x86_64-efi
grub-file --is-x86_64-efi "$efi/velund/grubx64.efi" || fail "grubx64.efi is not an x64 EFI image"
grub_image i386-efi "$efi/velund/grubia32.efi" /usr/lib/grub/i386-efi
grub-file --is-i386-efi "$efi/velund/grubia32.efi" || fail "grubia32.efi is not an i386 EFI image"

if have_arm64; then
  grub_image arm64-efi "$efi/velund/grubaa64.efi" "$arm64/root/usr/lib/grub/arm64-efi"
  grub-file --is-arm64-efi "$efi/velund/grubaa64.efi" || fail "grubaa64.efi is not an arm64 EFI image"
  cp "$arm64/root/usr/lib/shim/shimaa64.efi.signed" "$efi/velund/shimaa64.efi"
  cp "$arm64/root/usr/lib/shim/mmaa64.efi.signed" "$efi/velund/mmaa64.efi"
  mkdir -p "$kyr/grub/arm64-efi"
  cp "$arm64/root/usr/lib/grub/arm64-efi/"*.mod "$arm64/root/usr/lib/grub/arm64-efi/"*.lst \
    "$kyr/grub/arm64-efi/"
else
  stand_in "$efi/velund/grubaa64.efi" "GRUB for 64-bit ARM UEFI (\\EFI\\Boot\\grubaa64.efi)"
  stand_in "$efi/velund/shimaa64.efi" "shim for 64-bit ARM UEFI (\\EFI\\Boot\\bootaa64.efi)"
  stand_in "$efi/velund/mmaa64.efi" "MokManager for 64-bit ARM UEFI (\\EFI\\Boot\\mmaa64.efi)"
fi
rm -f "$early_cfg" "$sbat"

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

# The menu's title on the graphical screen; text terminals (serial among them) get it as the first
# line above the menu.
cat >"$kyr/grub/themes/theme.txt" <<'EOF'
title-text: "Velund Orrin"
title-color: "#ffffff"
desktop-color: "#10204a"
desktop-image: "splash.png"
message-color: "#c0c8e0"
+ boot_menu {
  left = 15%
  top = 25%
  width = 70%
  height = 50%
  item_color = "#c0c8e0"
  selected_item_color = "#ffffff"
  item_height = 24
  item_spacing = 4
}
+ label {
  left = 15%
  top = 80%
  width = 70%
  align = "center"
  color = "#c0c8e0"
  id = "__timeout__"
  text = "Starts the first entry in %d seconds"
}
EOF

cat >"$kyr/grub/grub.cfg" <<'EOF'
# Velund Orrin's menu. BIOS GRUB (installed with the boot directory \KYR) and the UEFI loaders
# (through \EFI\velund\grub.cfg or \EFI\Boot\grub.cfg on the FAT32 partition) both arrive here
# with $prefix = (main volume)/KYR/grub.
set default=0
set timeout=10
set timeout_style=menu

# The first serial port as a second console, for machines without a screen. The UEFI images have
# the modules built in (under Secure Boot none is loaded from disk); insmod is a no-op there.
insmod serial
insmod terminfo
if serial --unit=0 --speed=115200; then
  set velund_serial=serial
fi
terminal_input console $velund_serial

if loadfont $prefix/fonts/unicode.pf2; then
  insmod all_video
  insmod gfxterm
  insmod gfxmenu
  insmod png
  set gfxmode=auto
  terminal_output gfxterm $velund_serial
  set theme=$prefix/themes/theme.txt
else
  terminal_output console $velund_serial
fi

echo "Velund Orrin"

menuentry "Boot from the first hard disk" --id firstdisk {
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

menuentry "Show the disks and partitions" --id disks {
  ls -l
  echo
  echo "Press Escape to go back to the menu."
  sleep --interruptible 60
}

if [ "$grub_platform" = "efi" ]; then
  menuentry "UEFI firmware settings" --id fwsetup {
    fwsetup
  }
fi

menuentry "Reboot" --id reboot {
  reboot
}

menuentry "Power off" --id halt {
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
