#!/bin/sh
# Takes docs/migration.png: CheckVela.exe under Wine and Xvfb in the middle of a migration, its
# dialog showing "Importing file" and the main INI, with the message box about a missing queue
# directory in front. Needs build/windows-test/CheckVela.exe, Wine, Xvfb, xdotool, ImageMagick.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/migration.png}
work=$(mktemp -d "${TMPDIR:-/tmp}/checkvela-mshot.XXXXXX")
WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8 LC_ALL=C.UTF-8
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES LANG LC_ALL
xvfb_pid=
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
display=95
while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 640x480x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
DISPLAY=:$display
export DISPLAY
sleep 1
wineboot -i >/dev/null 2>&1 || true
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
# The settings fixture, whose only queue has no directory.
cp -a "$root/tests/e2e/fixtures/settings/drive_c/." "$WINEPREFIX/drive_c/"
printf '[Queues]\r\n1=archive\r\n[archive]\r\nqueuedir=C:\\Vela\\queues\\archive\r\n' \
  >>"$WINEPREFIX/drive_c/Vela/vela.ini"
cp "$root/build/windows-test/CheckVela.exe" "$WINEPREFIX/drive_c/Program Files/Vela/"
(cd "$WINEPREFIX/drive_c" && timeout 60 wine 'C:\Program Files\Vela\CheckVela.exe') &
run=$!
box=
i=0
while [ $i -lt 120 ] && [ -z "$box" ]; do
  box=$(xdotool search --onlyvisible --name '^CheckVela$' 2>/dev/null | head -n 1) || true
  sleep 0.25
  i=$((i + 1))
done
[ -n "$box" ] || { echo "$0: no message box appeared" >&2; exit 1; }
sleep 1.5
import -window root "$out"
echo "Saved $out"
xdotool key --window "$box" Return >/dev/null 2>&1 || true
wait "$run" || true
