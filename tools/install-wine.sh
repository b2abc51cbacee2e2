#!/usr/bin/env bash
# Installs what the smoke runs of the Windows build need: Debian's Wine able to run the 32-bit
# executable (wine32:i386), an X server without a screen (Xvfb), the tools for screenshots (xwd,
# netpbm), a mouse to click with (xdotool) and DejaVu Sans for the dialog font.
#
# Prints, as its last line, the route the smoke runs take:
#   wine-route: i686     the 32-bit build under wine32
#   wine-route: x86_64   wine32 could not be had or cannot run on this kernel: the same code built
#                        for x86_64, under wine64
# and writes the same word into build-windows/wine-route.
set -uo pipefail
cd "$(dirname "$0")/.."

SUDO=""
[[ $(id -u) -ne 0 ]] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
# Another install may hold dpkg's lock for a while: wait for it rather than fail.
apt_install=($SUDO apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600)

# fonts-wine: Wine's own fonts, Marlett among them, which draws the frame's caption buttons;
# xdotool: clicks of the mouse on the screen.
common=(wine fonts-wine xvfb xauth x11-apps netpbm fonts-dejavu-core xdotool)
route_i686=(wine32:i386 libwine:i386)
route_x86_64=(wine64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev)

say() { echo "install-wine: $*" >&2; }

installed() {  # package... : true when every one is installed
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || return 1
  done
}

write_route() {
  mkdir -p build-windows
  echo "$1" >build-windows/wine-route
  echo "wine-route: $1"
}

# The i386 loader really runs: without wine32, wine starts a 32-bit program as nothing at all and
# still exits 0; and a kernel without 32-bit support (no IA32 emulation) cannot start the loader
# even when it is installed.
wine32_usable() {
  installed "${common[@]}" "${route_i686[@]}" &&
    /usr/lib/wine/wine --version 2>/dev/null | grep -q '^wine-'
}
wine64_usable() {
  installed "${common[@]}" "${route_x86_64[@]}" &&
    /usr/lib/wine/wine64 --version 2>/dev/null | grep -q '^wine-'
}

if wine32_usable; then
  write_route i686
  exit 0
fi
# Installed before, found unusable: the fallback's packages are there as well.
if installed "${route_i686[@]}" && wine64_usable; then
  say "WINE32 CANNOT RUN HERE (its i386 loader does not start): the x86_64 build of the same code runs under wine64"
  write_route x86_64
  exit 0
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386 || say "cannot add the i386 architecture"
fi
# One index failing to refresh (one architecture, one suite) is no reason to stop: the packages
# may well install from the others.
$SUDO apt-get update -o DPkg::Lock::Timeout=600 >/dev/null 2>&1 ||
  say "apt-get update reported a problem; trying the install anyway"

"${apt_install[@]}" "${common[@]}" || say "could not install ${common[*]}"

# Multi-Arch "same" libraries must have one version on both architectures. When the amd64 copy came
# from the security suite and the i386 index of that suite is not to be had (or the other way
# round), wine32's dependencies cannot be met: move such an amd64 library to the version the i386
# side offers, when amd64 offers that version too.
align_multiarch() {
  local name version candidate pinned=()
  while read -r name version; do
    name=${name%%:*}
    candidate=$(apt-cache policy "$name:i386" 2>/dev/null | sed -n 's/^ *Candidate: //p')
    [[ -n "$candidate" && "$candidate" != "(none)" && "$candidate" != "$version" ]] || continue
    apt-cache madison "$name" 2>/dev/null | grep -F " $candidate " | grep -q amd64 || continue
    say "$name: amd64 has $version, i386 only $candidate; installing $candidate for both"
    pinned+=("$name:amd64=$candidate")
  done < <(dpkg-query -W -f='${binary:Package} ${Version} ${Multi-Arch} ${Status}\n' 2>/dev/null |
             awk '$3 == "same" && $NF == "installed" && $1 !~ /:i386$/ {print $1, $2}')
  ((${#pinned[@]} > 0)) || return 1
  "${apt_install[@]}" --allow-downgrades "${pinned[@]}"
}

if ! "${apt_install[@]}" "${route_i686[@]}"; then
  say "wine32:i386 did not install; looking for libraries whose versions differ between amd64 and i386"
  if align_multiarch; then
    "${apt_install[@]}" "${route_i686[@]}" || say "wine32:i386 still does not install"
  else
    # The usual case named by hand: the release's own suite has the version both sides share.
    "${apt_install[@]}" -t "$(. /etc/os-release && echo "$VERSION_CODENAME")" --allow-downgrades \
      "${route_i686[@]}" || say "wine32:i386 does not install from the release's suite either"
  fi
fi

if wine32_usable; then
  write_route i686
  exit 0
fi

if installed "${route_i686[@]}"; then
  say "WINE32 CANNOT RUN HERE: its i386 loader does not start (does the kernel run 32-bit programs?)"
else
  say "WINE32 COULD NOT BE INSTALLED"
fi
say "falling back to an x86_64 build of the same code under wine64"
"${apt_install[@]}" "${route_x86_64[@]}" || {
  say "the x86_64 route cannot be installed either"
  exit 1
}
wine64_usable || {
  say "wine64 does not start either"
  exit 1
}
write_route x86_64
