#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time on a scratch copy of its seed
# corpus in fuzz/corpus/<target>. Exits non-zero on the first crash, hang or sanitizer report;
# the input that caused it is left in build/fuzz/artifacts.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default: 50 s; profile registry migration)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-50}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(profile registry migration)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" >/dev/null
artifacts=$(pwd)/build/fuzz/artifacts
mkdir -p "$artifacts"
for target in "${targets[@]}"; do
  binary=build/fuzz/fuzz/fuzz_$target
  corpus=$(mktemp -d "${TMPDIR:-/tmp}/checkvela-fuzz-$target.XXXXXX")
  cp fuzz/corpus/"$target"/* "$corpus"/
  dict=()
  [ -f fuzz/"$target".dict ] && dict=(-dict=fuzz/"$target".dict)
  echo "== fuzz_$target for $seconds s"
  status=0
  "$binary" "$corpus" "${dict[@]}" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -max_len=8192 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
    >"$corpus.log" 2>&1 || status=$?
  grep -E "^(Done|stat::number_of_executed_units|stat::peak_rss_mb)" "$corpus.log" || true
  if [ $status -ne 0 ]; then
    tail -60 "$corpus.log"
    echo "fuzz_$target failed; reproduce with: $binary $artifacts/$target-*" >&2
    rm -rf "$corpus" "$corpus.log"
    exit 1
  fi
  rm -rf "$corpus" "$corpus.log"
done
echo "fuzz: no crash, hang or sanitizer report"
