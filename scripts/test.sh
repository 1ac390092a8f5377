#!/usr/bin/env bash
# Runs every test: the native suites, the same suites under sanitizers, the Windows build's
# conformance tests under Wine, and the 32-bit release build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc)

echo "== native build and tests"
cmake --preset native >/dev/null
cmake --build --preset native -j"$jobs"
ctest --test-dir build/native --output-on-failure

echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset native-sanitize >/dev/null
cmake --build --preset native-sanitize -j"$jobs" --target unit_tests conformance_tests
ASAN_OPTIONS=detect_leaks=1 build/native-sanitize/unit_tests --gtest_brief=1
build/native-sanitize/conformance_tests --gtest_brief=1

echo "== libFuzzer targets, about 50 s each (clang, AddressSanitizer, UndefinedBehaviorSanitizer)"
bash scripts/fuzz.sh 50

echo "== Windows 64-bit build: conformance tests under Wine"
cmake --preset windows-test >/dev/null
cmake --build --preset windows-test -j"$jobs"
bash scripts/run-wine-tests.sh build/windows-test

echo "== end-to-end: fixture machines through both builds, restore.bat under Wine"
bash scripts/e2e.sh

echo "== Windows 32-bit release build"
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs"
ls -l build/windows/CheckVela.exe

echo "checkvela: every test leg passed"
