#!/bin/sh
# Runs the Windows build's conformance tests under Wine, in a fresh throw-away Wine prefix.
#
# Usage: scripts/run-wine-tests.sh BUILD_DIR [gtest arguments...]
# BUILD_DIR is a windows-test build (x86_64) holding conformance_tests.exe and CheckVela.exe.
# The dialog cases need a display: without $DISPLAY the tests run under xvfb-run.
# Exits with the tests' status.
set -eu

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [gtest arguments...]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
shift
exe="$build/conformance_tests.exe"
if [ ! -f "$exe" ]; then
  echo "$0: $exe not found; build the windows-test preset first" >&2
  exit 2
fi

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/checkvela-wine.XXXXXX")
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer dialogs
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
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

echo "Preparing a fresh Wine prefix in $WINEPREFIX ..."
wineboot -i >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true

status=0
( cd "$build" && run wine "$exe" --gtest_color=no "$@" ) >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ] && [ ! -s "$log" ]; then
  # Nothing ran at all (the display or Wine did not come up, as happens now and then while
  # other Wine programs shut down): try once more rather than report tests that never ran.
  echo "Nothing ran (exit status $status); trying once more ..."
  wineserver -k >/dev/null 2>&1 || true
  status=0
  ( cd "$build" && run wine "$exe" --gtest_color=no "$@" ) >"$log" 2>&1 || status=$?
fi
cat "$log"
if [ "$status" -ne 0 ]; then
  echo "conformance_tests.exe failed under Wine (exit status $status)" >&2
fi
exit "$status"
