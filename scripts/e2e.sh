#!/usr/bin/env bash
# End-to-end tests: every fixture machine in tests/e2e/fixtures runs through each leg:
#   native  checkvela (the emulated machine)
#   wine64  the 64-bit build/windows-test/CheckVela.exe under Wine, in a 64-bit prefix
#   win32   the 32-bit release build/windows/CheckVela.exe in a 32-bit prefix (WINEARCH=win32)
#   wow64   the same release in a 64-bit prefix, under WoW64
# Each result must match the fixture's expected.txt and the other legs' results; importing
# Backup\restore.reg must give back the registry as it was, restore.bat must bring every moved
# file back, and a run after that must give the same result again. Prints one line per leg
# ("e2e: leg NAME: N of M fixtures passed, S s") and "e2e: N passed, M failed", and exits
# non-zero on any failure.
#   scripts/e2e.sh [--native-only | --legs LEG,...] [--serial] [--keep] [-v] [--skip-run-again]
#                  [FIXTURE...]
# The legs of a fixture run side by side; --serial runs them one after another.
# Needs the native, windows-test and windows (release) builds; builds what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

legs=native,wine64,win32,wow64
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --native-only) legs=native ;;
    --legs) legs=$2; shift ;;
    --legs=*) legs=${1#--legs=} ;;
    *) args+=("$1") ;;
  esac
  shift
done
has_leg() { case ",$legs," in *",$1,"*) return 0 ;; *) return 1 ;; esac; }

for target in checkvela regimport; do
  if [ ! -x "build/native/$target" ]; then
    cmake --preset native >/dev/null
    cmake --build --preset native -j"$(nproc)" --target "$target" >/dev/null
  fi
done
mkdir -p build/e2e
# regdump in the bitness of each kind of prefix: a 32-bit Windows starts no 64-bit program.
if has_leg wine64; then
  if [ ! -f build/windows-test/CheckVela.exe ]; then
    cmake --preset windows-test >/dev/null
    cmake --build --preset windows-test -j"$(nproc)" --target CheckVela >/dev/null
  fi
  x86_64-w64-mingw32-gcc -O1 -Wall -Wextra -o build/e2e/regdump.exe tests/e2e/regdump.c
  args=(--windows build/windows-test/CheckVela.exe --regdump build/e2e/regdump.exe "${args[@]}")
fi
if has_leg win32 || has_leg wow64; then
  if [ ! -f build/windows/CheckVela.exe ]; then
    cmake --preset windows >/dev/null
    cmake --build --preset windows -j"$(nproc)" --target CheckVela >/dev/null
  fi
  i686-w64-mingw32-gcc -O1 -Wall -Wextra -o build/e2e/regdump32.exe tests/e2e/regdump.c
  args=(--release build/windows/CheckVela.exe --regdump32 build/e2e/regdump32.exe "${args[@]}")
fi
# The driver's own judgement first, on made-up registry trees and expected.txt lines.
python3 tests/e2e/driver_test.py -q
exec python3 tests/e2e/e2e.py --native build/native/checkvela --regimport build/native/regimport \
  --legs "$legs" "${args[@]}"
