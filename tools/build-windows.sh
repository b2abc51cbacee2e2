#!/usr/bin/env bash
# Cross-builds the 32-bit Windows executable (Release) and checks that it is a PE32 i386 console
# program that imports nothing but Windows system DLLs.
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

# DLLs that every supported Windows version ships; anything else would have to travel along.
system_dlls=" kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll comctl32.dll \
comdlg32.dll ole32.dll oleaut32.dll rpcrt4.dll msvcrt.dll shlwapi.dll uxtheme.dll version.dll \
setupapi.dll cfgmgr32.dll ntdll.dll winmm.dll ws2_32.dll imm32.dll dwmapi.dll crypt32.dll \
secur32.dll userenv.dll netapi32.dll virtdisk.dll "
dlls=$(sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' <<<"$headers" | tr -d '\r')
[ -n "$dlls" ] || fail "$exe imports no DLL at all, objdump output not understood"
bad=0
while read -r dll; do
  lower=${dll,,}
  if [[ "$system_dlls" != *" $lower "* ]]; then
    echo "build-windows: $exe imports $dll, which is not a Windows system DLL" >&2
    bad=1
  fi
done <<<"$dlls"
((bad == 0)) || exit 1

grep -q requireAdministrator < <(i686-w64-mingw32-strings -a "$exe") ||
  fail "$exe carries no manifest that requires administrator rights"

echo "build-windows: $exe ($(stat -c %s "$exe") bytes), PE32 i386, console subsystem"
echo "build-windows: imports $(tr '\n' ' ' <<<"$dlls")"
