#!/usr/bin/env bash
# Smoke runs of the Windows build under Wine, in a fresh Wine prefix inside build-windows/ and on
# an Xvfb screen: the setup program started and closed in both languages (console log, exit code,
# the language choice kept in the registry across starts), its six resources found by name, the
# command runner and the folder operations on the real API, and screenshots of the window.
#
#   tools/wine-smoke.sh      (after tools/build-windows.sh; tools/run-tests.sh runs both)
#
# Wine's message texts and some of its error codes differ from Windows', so the checks compare
# behaviour, not wording. Screenshots: build-windows/screenshots/setup-{en,vi}[-create].png (the
# Install page and the Create page in each language) and setup-en-144dpi.png. Every Wine call
# has a time limit; the exit code is non-zero when any check failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-windows/smoke
shots=$root/build-windows/screenshots
started_at=$(date +%s)

passed=0
failed=0
ok() {
  echo "ok: $*"
  passed=$((passed + 1))
}
bad() {
  echo "FAIL: $*"
  failed=$((failed + 1))
}
check() {  # description command...
  local what=$1
  shift
  if "$@"; then ok "$what"; else bad "$what"; fi
}
die() {
  echo "wine-smoke: $*" >&2
  echo "wine-smoke: $passed passed, $((failed + 1)) failed"
  exit 1
}

# ---- Wine and the build of the route it can run ---------------------------------------------
route=$(tools/install-wine.sh | sed -n 's/^wine-route: //p')
[ -n "$route" ] || die "no Wine to run the Windows build with"
if [ "$route" = i686 ]; then
  build=$root/build-windows
  wine=/usr/lib/wine/wine
  export WINEARCH=win32
  if [ ! -f "$build/app/VelundOrrinSetup.exe" ] || [ ! -f "$build/tests/windows/velund-wine-smoke.exe" ]; then
    tools/build-windows.sh >/dev/null || die "the Windows build failed"
  fi
  route_note="i686: the 32-bit VelundOrrinSetup.exe under wine32"
else
  # The kernel or the package archive gives no wine32: the same sources for x86_64, under wine64.
  # The 7zDLL resource stays the 32-bit 7z.dll of the i686 build, which the 32-bit program ships.
  build=$root/build-windows/x86_64
  wine=/usr/lib/wine/wine64
  export WINEARCH=win64
  dll=$root/build-windows/7zip/7z.dll
  [ -f "$dll" ] || tools/build-windows.sh >/dev/null || die "the i686 Windows build (and its 7z.dll) failed"
  { cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
      -DVELUND_WINDOWS_7Z_DLL="$dll" && cmake --build "$build" --parallel 2; } >"$root/build-windows/x86_64.log" 2>&1 ||
    die "the x86_64 build failed (build-windows/x86_64.log)"
  route_note="x86_64 FALLBACK: wine32 cannot run here, so the x86_64 build of the same code ran under wine64"
fi
echo "wine-smoke: route $route_note"
setup_exe=$build/app/VelundOrrinSetup.exe
smoke_exe=$build/tests/windows/velund-wine-smoke.exe
[ -f "$setup_exe" ] && [ -f "$smoke_exe" ] || die "$setup_exe or $smoke_exe is missing"

# ---- A fresh prefix and a screen ------------------------------------------------------------
export WINEPREFIX=$root/build-windows/wine-prefix
export WINEDEBUG=-all
# No Mono or Gecko: there is no network to fetch them from, and nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=C.UTF-8
# A run that was cut short may have left its wineserver behind.
timeout 20 /usr/lib/wine/wineserver -k >/dev/null 2>&1
rm -rf "$WINEPREFIX" "$out"
mkdir -p "$out" "$shots"
rm -f "$shots"/*.png

display=
for number in $(seq 91 120); do
  [ -e "/tmp/.X$number-lock" ] || [ -e "/tmp/.X11-unix/X$number" ] || { display=$number; break; }
done
[ -n "$display" ] || die "no free X display number"
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=:$display

cleanup() {
  timeout 20 /usr/lib/wine/wineserver -k >/dev/null 2>&1
  kill "$xvfb_pid" 2>/dev/null
  wait "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
[ -e "/tmp/.X11-unix/X$display" ] || die "Xvfb did not start (build-windows/smoke/xvfb.log)"

wine_run() {  # seconds program args... : the program under Wine, bounded in time
  local seconds=$1
  shift
  timeout -k 5 "$seconds" "$wine" "$@"
}

wine_run 180 wineboot -i >"$out/wineboot.log" 2>&1
timeout 60 /usr/lib/wine/wineserver -w
[ -f "$WINEPREFIX/system.reg" ] || die "wineboot made no prefix (build-windows/smoke/wineboot.log)"

# DejaVu Sans for the dialog's fonts, so that Vietnamese letters have glyphs; Wine draws the
# window's frame itself, as no window manager runs on the screen.
reg() { wine_run 60 reg "$@" >>"$out/reg.log" 2>&1; }
for face in "Segoe UI" "Arial" "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2" "MS Sans Serif"; do
  reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /t REG_SZ /d "DejaVu Sans" /f
done
reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f
# The frame's caption buttons are Marlett's glyphs; this Wine does not find its own copy by itself.
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
timeout 60 /usr/lib/wine/wineserver -w

# Wine starts a program it cannot run as nothing at all and still exits 0: prove it runs.
wine_run 60 "$smoke_exe" exit 7 >/dev/null 2>&1
code=$?
[ "$code" = 7 ] || die "Wine does not run the Windows programs (exit code $code instead of 7)"

stored_language() {
  wine_run 60 reg query 'HKCU\SOFTWARE\VELUND' /v Language 2>/dev/null | tr -d '\r' |
    sed -n 's/.*REG_SZ[[:space:]]*//p'
}

# Captions the window shows, from `wait-window`'s control lines.
has_control_text() {  # file text
  grep -qF "|$2|" "$1"
}

screenshot() {  # window-file png
  local x y w h
  read -r x y w h < <(sed -n 's/^window: //p' "$1" | tr -d '\r')
  [ -n "${h:-}" ] || return 1
  xwd -root -silent -display ":$display" | xwdtopnm 2>/dev/null |
    pnmcut -left "$x" -top "$y" -width "$w" -height "$h" | pnmtopng >"$2" 2>/dev/null
  [ -s "$2" ]
}

# One start of the setup program: waits for its window, runs `steps` (a function), closes it and
# checks that it ended by itself with exit code 0 and the console log it wrote.
start_number=0
run_setup() {  # name steps
  local name=$1 steps=$2 pid code
  start_number=$((start_number + 1))
  (cd "$build/app" && exec timeout -k 5 120 "$wine" VelundOrrinSetup.exe) \
    >"$out/$name.log" 2>"$out/$name.err" &
  pid=$!
  wine_run 60 "$smoke_exe" wait-window 45 >"$out/$name.window" 2>&1
  if grep -q '^window: ' "$out/$name.window"; then
    ok "$name: the window came up"
    "$steps" "$name"
    wine_run 20 "$smoke_exe" close >>"$out/$name.window" 2>&1
  else
    bad "$name: the window came up (build-windows/smoke/$name.window)"
  fi
  wait "$pid"
  code=$?
  check "$name: closing the window ends the program with exit code 0 (got $code)" [ "$code" = 0 ]
  # Only what the steps asked for: no other line, no status line of a failed call.
  local pattern=${expected_log[$name]:-} log
  log=$(LC_ALL=C; cat "$out/$name.log"; echo x)  # the x keeps the final line end
  if (LC_ALL=C; [[ ${log%x} == $pattern ]]); then
    ok "$name: the console log is what the start, the clicks and the close write ($(wc -l <"$out/$name.log") lines)"
  else
    bad "$name: the console log is what the start, the clicks and the close write; it holds:"
    od -c "$out/$name.log" | sed 's/^/    /' | head -20
  fi
}
# What each start's log must hold, as a pattern of bytes ('?': any one byte); empty for a start and
# a close alone. The Install button without drives refuses with a line in the language in effect.
# Redirected, the log is in the ANSI code page (Windows-1252 in Wine's locale here): "ã" and "á"
# are one byte each there, and a letter the code page lacks becomes one byte of the conversion's
# choosing (a best-fit letter or its default character).
declare -A expected_log
refusal_en=$'Please select the drives.\r\n'
refusal_vi=$'Xin h\xe3y ch?n c\xe1c ? ??a.\r\n'
expected_log[start1]=$refusal_vi$refusal_en

window_in_vietnamese() {
  has_control_text "$1" "Cài đặt" && has_control_text "$1" "Chọn các ổ đĩa" &&
    has_control_text "$1" "Kích thước NTFS (MB)"
}
window_in_english() {
  has_control_text "$1" "Install" && has_control_text "$1" "Select the Drives" &&
    has_control_text "$1" "NTFS Size (MB)"
}

# A language switch reaches the window through a thread of its own: the window's description is
# taken again until it shows English, for ten seconds at most; the last one stays in `file`.
wait_for_english() {  # file
  local tries
  for tries in $(seq 20); do
    sleep 0.5
    wine_run 60 "$smoke_exe" wait-window 10 >"$1" 2>&1
    window_in_english "$1" && break
  done
}

first_start() {  # no stored choice: Vietnamese; the flag switches to English
  local name=$1
  check "$name: a first start shows Vietnamese captions" window_in_vietnamese "$out/$name.window"
  check "$name: screenshot build-windows/screenshots/setup-vi.png" \
    screenshot "$out/$name.window" "$shots/setup-vi.png"
  wine_run 20 "$smoke_exe" click "Cài đặt" >/dev/null 2>&1
  wine_run 20 "$smoke_exe" click-flag >/dev/null 2>&1
  wait_for_english "$out/$name.switched"
  check "$name: a click on the flag switches the captions to English" \
    window_in_english "$out/$name.switched"
  check "$name: screenshot build-windows/screenshots/setup-en.png" \
    screenshot "$out/$name.switched" "$shots/setup-en.png"
  wine_run 20 "$smoke_exe" click Install >/dev/null 2>&1
  check "$name: the switch stores the language left, vi_VN (stored: $(stored_language))" \
    [ "$(stored_language)" = vi_VN ]
}

# The pages' visibility, from `wait-window`'s control lines: "10" when the first page shows.
pages_shown() {  # file
  grep -F 'control: VelundOrrinSetupPage|' "$1" | cut -d'|' -f3 | tr -d '\n'
}

# A click on the second tab shows the Create page; its screenshot goes to `png`.
create_page() {  # name png
  local name=$1 png=$2 tries
  wine_run 20 "$smoke_exe" click-second-tab >/dev/null 2>&1
  for tries in $(seq 10); do
    sleep 0.3
    wine_run 60 "$smoke_exe" wait-window 10 >"$out/$name.create" 2>&1
    [ "$(pages_shown "$out/$name.create")" = 01 ] && break
  done
  check "$name: a click on the second tab shows the Create page alone" \
    [ "$(pages_shown "$out/$name.create")" = 01 ]
  check "$name: screenshot build-windows/screenshots/$png" \
    screenshot "$out/$name.create" "$shots/$png"
}

# The language link at 96 dpi: level with the flag, its right edge 4 pixels left of it, its text
# read right to left and flush right (SS_RIGHT, WS_EX_RTLREADING) and centred on its line
# (SS_CENTERIMAGE). The flag is the one Static control without text.
link_beside_flag() {  # window-file
  local flag link fl ft lbounds lstyles ll lt lw style exstyle
  flag=$(grep -F 'control: Static||1|' "$1" | head -1 | tr -d '\r')
  link=$(grep -F 'control: Static|Language|1|' "$1" | head -1 | tr -d '\r')
  [ -n "$flag" ] && [ -n "$link" ] || return 1
  read -r fl ft _ < <(cut -d'|' -f4 <<<"$flag")
  lbounds=$(cut -d'|' -f4 <<<"$link")
  lstyles=$(cut -d'|' -f5 <<<"$link")
  read -r ll lt lw _ <<<"$lbounds"
  read -r style exstyle <<<"$lstyles"
  [ -n "${exstyle:-}" ] || return 1
  ((ll + lw + 4 == fl && lt == ft)) &&
    (((0x$style & 0x1f) == 0x2 && (0x$style & 0x200) != 0 && (0x$exstyle & 0x2000) != 0))
}

second_start() {  # stored vi_VN: English again
  local name=$1
  check "$name: the Language link lies level with the flag, flush right against it, centred" \
    link_beside_flag "$out/$name.window"
  check "$name: the next start shows English, the language shown last" \
    window_in_english "$out/$name.window"
  check "$name: the window opens on the Install page" [ "$(pages_shown "$out/$name.window")" = 10 ]
  local option="Don't overwrite the current bootloader" first second
  first=$(wine_run 20 "$smoke_exe" click "$option" 2>&1 | tr -d '\r' | sed -n 's/^checked: //p')
  second=$(wine_run 20 "$smoke_exe" click "$option" 2>&1 | tr -d '\r' | sed -n 's/^checked: //p')
  check "$name: clicks on an option check it, then clear it (${first:-?} then ${second:-?})" \
    [ "$first$second" = 10 ]
  create_page "$name" setup-en-create.png
}

# A click of the real mouse on the middle of a control, found by its class and text: what lies
# on top there gets it, as for a person.
mouse_click() {  # window-file class text
  local ox oy left top width height
  read -r ox oy < <(sed -n 's/^origin: //p' "$1" | tr -d '\r')
  read -r left top width height < <(grep -F "control: $2|$3|1|" "$1" | head -1 | cut -d'|' -f4 | tr -d '\r')
  [ -n "${height:-}" ] && [ -n "${oy:-}" ] || return 1
  xdotool mousemove --sync $((ox + left + width / 2)) $((oy + top + height / 2)) click 1
}

third_start() {  # stored VI_VN: not vi_VN exactly, so Vietnamese
  local name=$1
  check "$name: a stored VI_VN (other letter case) gives Vietnamese" \
    window_in_vietnamese "$out/$name.window"
  create_page "$name" setup-vi-create.png
  check "$name: the mouse clicks the Language label" \
    mouse_click "$out/$name.create" Static Language
  wait_for_english "$out/$name.switched"
  check "$name: the click on the Language label switches the captions to English" \
    window_in_english "$out/$name.switched"
  check "$name: the switch stores vi_VN, the language in effect before it (stored: $(stored_language))" \
    [ "$(stored_language)" = vi_VN ]
}

# The layout takes metrics measured on the system's controls, which move it by a design pixel or
# two at another DPI.
one_and_a_half() {  # small large: large is 1.5 x small, give or take three pixels
  local off=$(($2 * 2 - $1 * 3))
  [ "$1" -gt 0 ] && [ "$off" -ge -6 ] && [ "$off" -le 6 ]
}

dpi_start() {  # 144 pixels per inch: the design values scaled by 1.5
  local name=$1 width96 width
  width96=$(sed -n 's/^client: //p' "$out/start2.window" | tr -d '\r' | cut -d' ' -f1)
  width=$(sed -n 's/^client: //p' "$out/$name.window" | tr -d '\r' | cut -d' ' -f1)
  check "$name: at 144 dpi the client is 1.5 times as wide as at 96 dpi ($width96 -> $width)" \
    one_and_a_half "${width96:-0}" "${width:-0}"
  check "$name: screenshot build-windows/screenshots/setup-en-144dpi.png" \
    screenshot "$out/$name.window" "$shots/setup-en-144dpi.png"
}

# ---- The setup program, four starts --------------------------------------------------------
echo "=== wine-smoke: the setup program ==="
run_setup start1 first_start
run_setup start2 second_start
check "start2: a start without a switch leaves the stored choice as it was" \
  [ "$(stored_language)" = vi_VN ]
reg add 'HKCU\SOFTWARE\VELUND' /v Language /t REG_SZ /d VI_VN /f
run_setup start3 third_start

# ---- A library planted beside the program -----------------------------------------------------
# Another program of the user leaves a uxtheme.dll in the folder the program is started from.
# Wine prefers its own builtin system libraries; uxtheme=n,b makes it take a native copy wherever
# its search finds one, so the planted file loads if the program's folder is searched for it. A
# plain LoadLibraryW by name (the helper) shows that it does. Wine's own libraries also load
# uxtheme while the process starts, before the program's first line runs, by the standard order,
# so under Wine the planted copy is loaded whatever the program does: Wine cannot show that the
# program never loads it. What it shows is the program's own load, in its loader's trace: the
# program looks for uxtheme.dll in the system folder alone.
echo "=== wine-smoke: a planted library ==="
planted=$out/planted
mkdir -p "$planted"
cp "$setup_exe" "$smoke_exe" "$build/tests/windows/uxtheme.dll" "$planted/"
mark=$planted/planted-library-ran
native_uxtheme="$WINEDLLOVERRIDES;uxtheme=n,b"
(cd "$planted" && WINEDLLOVERRIDES=$native_uxtheme wine_run 60 ./velund-wine-smoke.exe \
  load-library uxtheme.dll) >"$out/planted-control.out" 2>&1
check "planted: a search by name from the program's folder loads the planted uxtheme.dll" \
  [ -e "$mark" ]
rm -f "$mark"
(cd "$planted" && WINEDLLOVERRIDES=$native_uxtheme WINEDEBUG=+module exec timeout -k 5 120 \
  "$wine" VelundOrrinSetup.exe) >"$out/planted.log" 2>"$out/planted.err" &
planted_pid=$!
wine_run 60 "$smoke_exe" wait-window 45 >"$out/planted.window" 2>&1
check "planted: the window came up" grep -q '^window: ' "$out/planted.window"
wine_run 20 "$smoke_exe" close >>"$out/planted.window" 2>&1
wait "$planted_pid"
check "planted: the program looks for uxtheme.dll in the system folder alone" \
  grep -qF 'looking for L"uxtheme.dll" in L"C:\\windows\\system32\\"' "$out/planted.err"
echo "note: Wine's own start-up loaded the planted uxtheme.dll: $([ -e "$mark" ] && echo yes || echo no)"

# The program is DPI aware: at 144 dpi it lays out its 96-dpi design values scaled.
reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f
reg add 'HKCC\Software\Fonts' /v LogPixels /t REG_DWORD /d 144 /f
timeout 60 /usr/lib/wine/wineserver -w
run_setup start4 dpi_start

# ---- The program's services on the real API -------------------------------------------------
smoke_part() {  # title args...
  local title=$1 code
  shift
  echo "=== wine-smoke: $title ==="
  wine_run 120 "$smoke_exe" "$@" >"$out/$title.out" 2>&1
  code=$?
  tr -d '\r' <"$out/$title.out" | grep -E '^(ok|FAIL): ' >"$out/$title.lines"
  while IFS= read -r line; do
    case $line in
      ok:*) ok "${line#ok: }" ;;
      *) bad "${line#FAIL: }" ;;
    esac
  done <"$out/$title.lines"
  # A helper that died half-way prints fewer lines than its checks; its exit code says so too.
  grep -q '^FAIL' "$out/$title.lines" && return
  if [ "$code" != 0 ] || [ ! -s "$out/$title.lines" ]; then
    bad "$title: the helper ended with exit code $code after $(wc -l <"$out/$title.lines") checks"
    sed 's/^/    /' "$out/$title.out"
  fi
}
smoke_part resources resources "Z:${setup_exe//\//\\}"
smoke_part commands run
smoke_part folders folders 'C:\velund-smoke'

echo "wine-smoke: route $route_note"
echo "wine-smoke: screenshots $(ls "$shots"/*.png 2>/dev/null | tr '\n' ' ')"
echo "wine-smoke: took $(($(date +%s) - started_at)) s"
echo "wine-smoke: $passed passed, $failed failed"
[ "$failed" = 0 ]
