#!/usr/bin/env bash
# Checks that CheckVela's progress dialog answers while a long migration runs, as Windows' hang
# test sees it, and still closes by itself at the end.
#
# For each CheckVela.exe it migrates a large generated installation (bench/gen_machine.py:
# 20 queues x 70 jobs x 2 data files of 1 KiB, 15 to 40 s under Wine) in a fresh Wine prefix
# under its own Xvfb, with tests/probes/responsive_probe.cpp beside it. The probe sends the
# dialog WM_NULL with SendMessageTimeout and a 1-second timeout every half second, and between
# the pings sends and posts WM_CLOSE, Cancel, OK, SC_CLOSE, Escape, Enter and a second start
# message; the script also presses Escape, Enter and Alt+F4 on the window through X. A run
# fails when a ping went unanswered, the run was too short to judge (fewer than 10 pings), the
# dialog hid long before it went (it ended before the run did) or a message box appeared, the
# window did not close by itself, or the migration did not reach its end (a data file missing
# in Spool, a control file left in its queue).
#
#   scripts/responsive.sh [--queues Q] [--jobs J] [--keep] [CHECKVELA.EXE...]
#
# Without executables it runs the 64-bit windows-test build and, when it has been built, the
# 32-bit release (build/windows/CheckVela.exe). Prints "responsive: N passed, M failed" and
# exits non-zero on any failure. Needs the windows-test build (responsive_probe.exe); builds
# it when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

queues=20
jobs=70
keep=0
exes=()
while [ $# -gt 0 ]; do
  case $1 in
    --queues) queues=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) exes+=("$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"); shift ;;
  esac
done

probe=$root/build/windows-test/responsive_probe.exe
if [ ! -f "$probe" ] || [ ! -f build/windows-test/CheckVela.exe ]; then
  cmake --preset windows-test >/dev/null
  cmake --build --preset windows-test -j2 --target CheckVela responsive_probe >/dev/null
fi
if [ ${#exes[@]} -eq 0 ]; then
  exes=("$root/build/windows-test/CheckVela.exe")
  if [ -f build/windows/CheckVela.exe ]; then
    exes+=("$root/build/windows/CheckVela.exe")
  fi
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/checkvela-responsive.XXXXXX")
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8 LC_ALL=C.UTF-8
unset WINEARCH
xvfb_pid=
cleanup() {
  for p in "$work"/prefix*; do
    if [ -d "$p" ]; then WINEPREFIX=$p wineserver -k >/dev/null 2>&1 || true; fi
  done
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  if [ "$keep" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT INT TERM

# A display of our own: Xvfb picks a free number and writes it to the file.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
DISPLAY=:$(head -n 1 "$work/display")
export DISPLAY

echo "Preparing a fresh Wine prefix ..."
WINEPREFIX=$work/template wineboot -i >/dev/null 2>&1 || true
WINEPREFIX=$work/template wineserver -w >/dev/null 2>&1 || true

# Presses keys on the dialog through X, as a user at the keyboard would, while it is open.
press_keys() {
  local window=""
  for _ in $(seq 200); do
    window=$(xdotool search --onlyvisible --name '^Check existing Vela installation$' \
      2>/dev/null | head -n 1) || true
    [ -n "$window" ] && break
    sleep 0.1
  done
  [ -n "$window" ] || return 0
  sleep 3
  for key in Escape Return alt+F4 Escape; do
    xdotool key --window "$window" "$key" >/dev/null 2>&1 || return 0
    sleep 1
  done
}

passed=0
failed=0
n=0
for exe in "${exes[@]}"; do
  n=$((n + 1))
  prefix=$work/prefix$n
  cp -a "$work/template" "$prefix"
  export WINEPREFIX=$prefix
  wineserver -p >/dev/null 2>&1
  python3 bench/gen_machine.py "$prefix" "$queues" "$jobs" 1
  wine reg import "$(winepath -w "$prefix/uninstall.reg")" /reg:32 >/dev/null 2>&1
  program=$prefix/drive_c/Program\ Files/Vela
  cp "$exe" "$program/CheckVela.exe"
  bits=$(python3 -c 'import struct, sys
data = open(sys.argv[1], "rb").read(4096)
machine = struct.unpack_from("<H", data, struct.unpack_from("<I", data, 60)[0] + 4)[0]
print("64-bit" if machine == 0x8664 else "32-bit")' "$exe")
  label="${exe#"$root"/} ($bits)"

  start=$(date +%s.%N)
  (cd "$program" && exec wine 'C:\Program Files\Vela\CheckVela.exe' >"$work/run$n.log" 2>&1) &
  run=$!
  press_keys &
  keys=$!
  status=0
  wine "$probe" --poke --min-pings 10 --limit 600 >"$work/probe$n.log" 2>&1 || status=$?
  # The probe returns when the window has gone; the process follows within moments.
  for _ in $(seq 300); do
    kill -0 "$run" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$run" 2>/dev/null; then
    echo "responsive: $label: CheckVela.exe still runs after its window went away" \
      >>"$work/probe$n.log"
    kill "$run" 2>/dev/null || true
    status=1
  fi
  wait "$run" || true
  wait "$keys" || true
  took=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
  tr -d '\r' <"$work/probe$n.log"

  # The run reached its end: every data file in Spool, every control file gone to Backup.
  want=$(wc -l <"$prefix/data-files.txt")
  have=$(find "$program/Spool" -type f 2>/dev/null | wc -l)
  left=$(find "$prefix/drive_c/Vela/queues" -iname 'cf*.ini' | wc -l)
  if [ "$have" != "$want" ] || [ "$left" != 0 ]; then
    echo "responsive: $label: the migration did not reach its end ($have of $want data files" \
      "in Spool, $left control files left)"
    status=1
  fi
  if [ $status = 0 ]; then
    echo "responsive: $label: passed, $took s"
    passed=$((passed + 1))
  else
    echo "responsive: $label: FAILED, $took s"
    failed=$((failed + 1))
  fi
  wineserver -k >/dev/null 2>&1 || true
  [ "$keep" = 1 ] || rm -rf "$prefix"
done

echo "responsive: $passed passed, $failed failed"
[ "$failed" = 0 ]
