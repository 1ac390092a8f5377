#!/bin/sh
# Takes a screenshot of CheckVela's progress dialog under Wine and Xvfb: docs/dialog.png.
#
# Usage: scripts/screenshot.sh [OUTPUT.png]
# Builds a small probe (scripts/screenshot_probe.cpp) from the Win32 platform layer and the
# program's own resource script, so the picture shows dialog 102 with the real icon, font and
# strings, held open long enough to be captured. Needs Wine, Xvfb, the x86_64 MinGW compiler
# and ImageMagick's import.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/dialog.png}
case $out in /*) ;; *) out=$(pwd)/$out ;; esac
mkdir -p "$(dirname "$out")"

work=$(mktemp -d "${TMPDIR:-/tmp}/checkvela-shot.XXXXXX")
WINEPREFIX=$work/prefix
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
xvfb_pid=
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

echo "Building the probe ..."
x86_64-w64-mingw32-windres -I"$root/res" -i "$root/res/checkvela.rc" -o "$work/checkvela_res.o"
x86_64-w64-mingw32-g++-posix -std=c++20 -O1 -Wall -Wextra -mwindows \
  -DWIN32_LEAN_AND_MEAN -DNOMINMAX -D_WIN32_WINNT=0x0601 -I"$root/src" -I"$root/res" \
  "$root/scripts/screenshot_probe.cpp" "$root/src/platform/win32/win32_platform.cpp" \
  "$work/checkvela_res.o" -o "$work/CheckVela.exe" \
  -static -static-libgcc -static-libstdc++ -lcomctl32

# A display of our own, with a free number.
display=99
while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 640x480x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
DISPLAY=:$display
export DISPLAY
sleep 1

echo "Preparing a fresh Wine prefix ..."
wineboot -i >/dev/null 2>&1 || true
# No window manager runs on Xvfb: let Wine draw the caption and frame itself.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true

echo "Running the dialog ..."
(cd "$work" && PROBE_SECONDS=20 wine CheckVela.exe) &
probe=$!

window=
i=0
while [ $i -lt 60 ]; do
  window=$(xdotool search --name '^Check existing Vela installation$' 2>/dev/null | head -n 1) || true
  [ -n "$window" ] && break
  sleep 0.5
  i=$((i + 1))
done
if [ -z "$window" ]; then
  echo "$0: the dialog did not appear" >&2
  exit 1
fi
sleep 2  # let it paint
import -window "$window" "$out"
echo "Saved $out"
# Escape closes the dialog; the probe then ends with status 0.
xdotool key --window "$window" Escape >/dev/null 2>&1 || true
status=0
wait "$probe" || status=$?
echo "The probe ended with status $status"
