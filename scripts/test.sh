#!/usr/bin/env bash
# Runs every test: the native suites, the same suites under sanitizers, the fuzz targets for a
# bounded time, the Windows build's conformance tests under Wine, the end-to-end fixtures through
# both builds, and the 32-bit release build with its checks (Windows XP SP3 imports and header,
# reproducible bytes, package). Ends with the number of tests that passed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# Runs a test command, keeping its output to count the tests that passed.
counted() {
  "$@" 2>&1 | tee -a "$log"
  return "${PIPESTATUS[0]}"
}

echo "== native build and tests"
cmake --preset native >/dev/null
cmake --build --preset native -j"$jobs"
counted build/native/unit_tests --gtest_brief=1
counted build/native/conformance_tests --gtest_brief=1
echo "== native tests once more on a machine that keeps to POSIX (no inotify, syncfs, renameat2, ...)"
CHECKVELA_POSIX_ONLY=1 counted build/native/unit_tests --gtest_brief=1
CHECKVELA_POSIX_ONLY=1 counted build/native/conformance_tests --gtest_brief=1

echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset native-sanitize >/dev/null
cmake --build --preset native-sanitize -j"$jobs" --target unit_tests conformance_tests
ASAN_OPTIONS=detect_leaks=1 counted build/native-sanitize/unit_tests --gtest_brief=1
counted build/native-sanitize/conformance_tests --gtest_brief=1

echo "== libFuzzer targets, about 50 s each (clang, AddressSanitizer, UndefinedBehaviorSanitizer)"
bash scripts/fuzz.sh 50

echo "== Windows 64-bit build: conformance tests under Wine"
cmake --preset windows-test >/dev/null
cmake --build --preset windows-test -j"$jobs"
counted bash scripts/run-wine-tests.sh build/windows-test

echo "== end-to-end: fixture machines through both builds, restore.bat under Wine"
counted bash scripts/e2e.sh

echo "== Windows 32-bit release: build, package, and the checks that it starts on Windows XP SP3"
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs" --target package
# The import check itself must reject what XP lacks; then the release: imports, header,
# manifest, a second build in other directories with the same bytes, and the ZIP.
python3 scripts/check-release.py --self-test
python3 scripts/check-release.py --reproduce --package build/windows

passed=$(awk '/^\[  PASSED  \] [0-9]+ tests?\./ {n += $4} /^e2e: [0-9]+ passed/ {n += $2} END {print n + 0}' "$log")
echo "every test leg passed"
echo "$passed passed, 0 failed"
