#!/usr/bin/env bash
# Runs every test: the native suites, the same suites under sanitizers, the fuzz targets for a
# bounded time, the conformance suite of the 64-bit Windows build under Wine and of the 32-bit
# one in a 32-bit prefix and under WoW64, the 32-bit release build with its checks (Windows XP
# SP3 imports and header, reproducible bytes, package), and the end-to-end fixtures through the
# four legs (native, wine64, and the release itself in a 32-bit prefix and under WoW64), and
# the responsiveness of both Windows builds' dialog during a long migration.
# Every step runs even when an earlier one failed. Ends with the time of each step and the
# number of tests that passed and failed; exits non-zero when any step failed.
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

# Runs one step (a function whose commands are joined by &&), timing it and noting a failure.
started=$SECONDS
summary=()
failed_steps=0
step() {
  local title=$1 status=0 begin=$SECONDS
  shift
  echo "== $title"
  "$@" || status=$?
  local line
  line=$(printf '%6d s  %s' $((SECONDS - begin)) "$title")
  if [ "$status" -ne 0 ]; then
    line+="  FAILED (exit $status)"
    failed_steps=$((failed_steps + 1))
  fi
  summary+=("$line")
}

native() {
  cmake --preset native >/dev/null &&
    cmake --build --preset native -j"$jobs" &&
    counted build/native/unit_tests --gtest_brief=1 &&
    counted build/native/conformance_tests --gtest_brief=1
}
# The emulated machine with nothing beyond POSIX (no inotify, syncfs, renameat2, ...).
posix_only() {
  CHECKVELA_POSIX_ONLY=1 counted build/native/unit_tests --gtest_brief=1 &&
    CHECKVELA_POSIX_ONLY=1 counted build/native/conformance_tests --gtest_brief=1
}
sanitized() {
  cmake --preset native-sanitize >/dev/null &&
    cmake --build --preset native-sanitize -j"$jobs" --target unit_tests conformance_tests &&
    ASAN_OPTIONS=detect_leaks=1 counted build/native-sanitize/unit_tests --gtest_brief=1 &&
    counted build/native-sanitize/conformance_tests --gtest_brief=1
}
windows64() {
  cmake --preset windows-test >/dev/null &&
    cmake --build --preset windows-test -j"$jobs" &&
    counted bash scripts/run-wine-tests.sh build/windows-test
}
windows32_build() {
  cmake --preset windows-test32 >/dev/null &&
    cmake --build --preset windows-test32 -j"$jobs"
}
# The import check itself must reject what XP lacks; then the release: imports, header,
# manifest, a second build in other directories with the same bytes, and the ZIP.
release() {
  cmake --preset windows >/dev/null &&
    cmake --build --preset windows -j"$jobs" --target package &&
    python3 scripts/check-release.py --self-test &&
    python3 scripts/check-release.py --reproduce --package build/windows
}

step "native build and tests" native
step "native tests once more on a machine that keeps to POSIX" posix_only
step "native tests under AddressSanitizer and UndefinedBehaviorSanitizer" sanitized
step "libFuzzer targets, about 50 s each (clang, AddressSanitizer, UndefinedBehaviorSanitizer)" \
  bash scripts/fuzz.sh 50
step "Windows 64-bit build: conformance tests under Wine (64-bit prefix)" windows64
step "Windows 32-bit test build (windows-test32)" windows32_build
step "Windows 32-bit build: conformance tests in a 32-bit prefix (WINEARCH=win32)" \
  counted bash scripts/run-wine-tests.sh --arch win32 build/windows-test32
step "Windows 32-bit build: conformance tests under WoW64 (64-bit prefix)" \
  counted bash scripts/run-wine-tests.sh --arch win64 build/windows-test32
step "Windows 32-bit release: build, package, and the checks that it starts on Windows XP SP3" \
  release
step "end-to-end: the fixtures through native, wine64, and the release in win32 and wow64" \
  counted bash scripts/e2e.sh
step "the dialog answers while a long migration runs: both Windows builds, pinged as Windows' hang test does" \
  counted bash scripts/responsive.sh

# GoogleTest's totals, and per end-to-end leg the fixtures it passed out of all, and the
# fixtures on which the legs' results agree.
read -r passed failed < <(awk '
  /^\[  PASSED  \] [0-9]+ tests?\./ { p += $4 }
  /^\[  FAILED  \] [0-9]+ tests?, listed below:/ { f += $4 }
  /^e2e: leg [a-z0-9]+: [0-9]+ of [0-9]+ fixtures passed/ { p += $4; f += $6 - $4 }
  /^responsive: [0-9]+ passed, [0-9]+ failed/ { p += $2; f += $4 }
  /^e2e: the legs.* results agree on [0-9]+ of [0-9]+ fixtures/ { p += $(NF-3); f += $(NF-1) - $(NF-3) }
  END { print p + 0, f + 0 }' "$log")
echo "== time of each step"
printf '%s\n' "${summary[@]}"
printf '%6d s  in all\n' $((SECONDS - started))
grep -E "^e2e: (leg |the legs)" "$log" || true
if [ "$failed_steps" -eq 0 ]; then
  echo "every test leg passed"
else
  echo "$failed_steps step(s) FAILED"
fi
echo "$passed passed, $failed failed"
[ "$failed_steps" -eq 0 ]
