#!/usr/bin/env bash
# Cross-builds the 32-bit Windows executable (Release) and checks that it is a PE32 i386 console
# program that imports nothing but known DLLs and comctl32.dll.
set -euo pipefail

cd "$(dirname "$0")/.."
build_dir=build-windows
objdump=i686-w64-mingw32-objdump

fail() {
  echo "build-windows: $*" >&2
  exit 1
}

# ---- Cross compilers ----------------------------------------------------------------------------
tools/install-deps.sh --windows || fail "could not install the cross compilers"

# ---- Build --------------------------------------------------------------------------------------
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build "$build_dir" --parallel "$(nproc)"

exe=$(find "$build_dir" -name VelundOrrinSetup.exe -type f -print -quit)
[ -n "$exe" ] || fail "VelundOrrinSetup.exe was not built"

# ---- Checks -------------------------------------------------------------------------------------
headers=$("$objdump" -p "$exe") || fail "$objdump cannot read $exe"

grep -q "file format pei-i386" <<<"$headers" || fail "$exe is not a PE i386 image"
grep -Eq "^Magic[[:space:]]+010b[[:space:]]+\(PE32\)" <<<"$headers" || fail "$exe is not PE32"
grep -Eq "^Subsystem[[:space:]]+0+3[[:space:]]" <<<"$headers" ||
  fail "$exe is not of the console subsystem (3)"

# The program runs elevated, usually from the Downloads folder. Windows looks for an imported
# library in the program's own folder first unless it is a known DLL (listed under
# HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs and always taken from the
# system folder), so a planted copy of any other import would run elevated before main. Allowed:
# the known DLLs that every supported Windows (Vista to 10) lists, ntdll.dll (mapped into every
# process before its imports), and comctl32.dll, which the manifest's side-by-side dependency
# takes from the system's assembly store. Every other system library is loaded at run time from
# System32 by flag.
known_dlls=" advapi32.dll comdlg32.dll gdi32.dll imagehlp.dll imm32.dll kernel32.dll msctf.dll \
msvcrt.dll normaliz.dll nsi.dll ole32.dll oleaut32.dll rpcrt4.dll setupapi.dll shell32.dll \
shlwapi.dll user32.dll wldap32.dll ws2_32.dll ntdll.dll comctl32.dll "
dlls=$(sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' <<<"$headers" | tr -d '\r')
[ -n "$dlls" ] || fail "$exe imports no DLL at all, objdump output not understood"
bad=0
while read -r dll; do
  lower=${dll,,}
  if [[ "$known_dlls" != *" $lower "* ]]; then
    echo "build-windows: $exe imports $dll, which is neither a known DLL nor comctl32.dll" >&2
    bad=1
  fi
done <<<"$dlls"
((bad == 0)) || exit 1

strings=$(i686-w64-mingw32-strings -a "$exe")
grep -q requireAdministrator <<<"$strings" ||
  fail "$exe carries no manifest that requires administrator rights"
# Without the side-by-side dependency, comctl32.dll would be searched for like any other library.
if grep -qix "comctl32.dll" <<<"$dlls"; then
  grep -q "Microsoft.Windows.Common-Controls" <<<"$strings" ||
    fail "$exe imports comctl32.dll without the manifest's side-by-side dependency on it"
fi

echo "build-windows: $exe ($(stat -c %s "$exe") bytes), PE32 i386, console subsystem"
echo "build-windows: imports $(tr '\n' ' ' <<<"$dlls")"
