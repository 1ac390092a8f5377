#!/usr/bin/env bash
# End-to-end tests: every fixture machine in tests/e2e/fixtures runs through checkvela (the
# emulated machine) and through CheckVela.exe under Wine; both results must match the fixture's
# expected.txt and each other; importing Backup\restore.reg must give back the registry as it
# was, restore.bat must bring every moved file back, and a run after that must give the same
# result again. Prints "e2e: N passed, M failed" and exits non-zero on any failure.
#   scripts/e2e.sh [--native-only] [--keep] [-v] [--skip-run-again] [FIXTURE...]
# Needs the native and windows-test builds; builds them when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

wine_leg=1
args=()
for a in "$@"; do
  if [ "$a" = "--native-only" ]; then wine_leg=0; else args+=("$a"); fi
done

for target in checkvela regimport; do
  if [ ! -x "build/native/$target" ]; then
    cmake --preset native >/dev/null
    cmake --build --preset native -j"$(nproc)" --target "$target" >/dev/null
  fi
done
if [ "$wine_leg" = 1 ]; then
  if [ ! -f build/windows-test/CheckVela.exe ]; then
    cmake --preset windows-test >/dev/null
    cmake --build --preset windows-test -j"$(nproc)" --target CheckVela >/dev/null
  fi
  mkdir -p build/e2e
  x86_64-w64-mingw32-gcc -O1 -Wall -Wextra -o build/e2e/regdump.exe tests/e2e/regdump.c
  args=(--windows build/windows-test/CheckVela.exe --regdump build/e2e/regdump.exe "${args[@]}")
fi
exec python3 tests/e2e/e2e.py --native build/native/checkvela --regimport build/native/regimport \
  "${args[@]}"
