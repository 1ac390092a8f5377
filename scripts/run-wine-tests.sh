#!/bin/sh
# Runs the Windows build's conformance tests under Wine, in a fresh throw-away Wine prefix.
#
# Usage: scripts/run-wine-tests.sh [--arch win64|win32] BUILD_DIR [gtest arguments...]
# BUILD_DIR is a windows-test build (x86_64) or a windows-test32 build (i686) holding
# conformance_tests.exe. --arch is the prefix's architecture (WINEARCH): win64 (the default)
# runs a 64-bit build, or a 32-bit one under WoW64; win32 is a 32-bit Windows and runs only a
# 32-bit build. The dialog cases need a display: without $DISPLAY the tests run under xvfb-run.
# Exits with the tests' status.
set -eu

arch=win64
if [ "${1:-}" = "--arch" ]; then
  arch=${2:-}
  shift 2 || true
fi
case "$arch" in
  win64 | win32) ;;
  *) echo "$0: --arch is win64 or win32, not '$arch'" >&2; exit 2 ;;
esac
if [ $# -lt 1 ]; then
  echo "usage: $0 [--arch win64|win32] BUILD_DIR [gtest arguments...]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
shift
exe="$build/conformance_tests.exe"
if [ ! -f "$exe" ]; then
  echo "$0: $exe not found; build the windows-test or windows-test32 preset first" >&2
  exit 2
fi

# The loader of the program's bitness (the PE header's machine field): with wine32 installed,
# the wine wrapper starts the 32-bit loader first, and wine64 may not be on PATH.
machine=$(od -An -j "$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')" -N6 -tx1 "$exe" | tr -d ' \n')
case "$machine" in
  504500004c01) bits=32 ;;  # "PE\0\0" and IMAGE_FILE_MACHINE_I386 (0x14c, little-endian)
  504500006486) bits=64 ;;  # "PE\0\0" and IMAGE_FILE_MACHINE_AMD64 (0x8664)
  *) echo "$0: $exe is not an i386 or x86-64 Windows program" >&2; exit 2 ;;
esac
if [ "$bits" = 64 ] && [ "$arch" = win32 ]; then
  echo "$0: $exe is a 64-bit program; a win32 prefix cannot start it" >&2
  exit 2
fi
loader=wine
if [ "$bits" = 64 ] || [ "$arch" = win64 ]; then
  wine64=$(command -v wine64 || true)
  for candidate in /usr/lib/wine/wine64 /usr/lib64/wine/wine64; do
    if [ -z "$wine64" ] && [ -x "$candidate" ]; then wine64=$candidate; fi
  done
  if [ -z "$wine64" ]; then
    echo "$0: wine64 not found" >&2
    exit 2
  fi
  boot=$wine64  # a 64-bit prefix is made by the 64-bit loader
  if [ "$bits" = 64 ]; then loader=$wine64; fi
else
  boot=wine
fi

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/checkvela-wine.XXXXXX")
WINEARCH=$arch
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer dialogs
export WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES
log="$WINEPREFIX.log"

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$log"
}
trap cleanup EXIT INT TERM

# Wine refuses a prefix that belongs to another user; the temporary one is ours.
run() {
  if [ -n "${DISPLAY:-}" ]; then
    "$@"
  elif command -v xvfb-run >/dev/null 2>&1; then
    xvfb-run -a -s "-screen 0 1024x768x24" "$@"
  else
    "$@"
  fi
}

echo "Preparing a fresh $arch Wine prefix in $WINEPREFIX for the $bits-bit $exe ..."
"$boot" wineboot -i >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
if ! grep -qx "#arch=$arch" "$WINEPREFIX/system.reg" 2>/dev/null; then
  echo "$0: wineboot made no $arch prefix (is wine32 installed? scripts/setup.sh installs it)" >&2
  exit 2
fi

status=0
( cd "$build" && run "$loader" "$exe" --gtest_color=no "$@" ) >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ] && [ ! -s "$log" ]; then
  # Nothing ran at all (the display or Wine did not come up, as happens now and then while
  # other Wine programs shut down): try once more rather than report tests that never ran.
  echo "Nothing ran (exit status $status); trying once more ..."
  wineserver -k >/dev/null 2>&1 || true
  status=0
  ( cd "$build" && run "$loader" "$exe" --gtest_color=no "$@" ) >"$log" 2>&1 || status=$?
fi
cat "$log"
if [ "$status" -ne 0 ]; then
  echo "conformance_tests.exe ($bits-bit, $arch prefix) failed under Wine (exit status $status)" >&2
fi
exit "$status"
