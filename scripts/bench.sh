#!/usr/bin/env bash
# Benchmarks (not tests): the migration of generated old installations with checkvela and with
# CheckVela.exe under Wine, each against a plain `cp` of the same data files into an empty
# directory on the same disk, measured in the same run; the scaling in jobs; peak memory against
# the data file size; and the INI reading benchmark.
#   scripts/bench.sh [--no-wine] [--wine-only]
# Writes its scratch machines below $BENCH_DIR (default build/bench, the disk of the worktree)
# and removes them.
set -euo pipefail
cd "$(dirname "$0")/.."
wine_leg=1
native_leg=1
[ "${1:-}" = "--no-wine" ] && wine_leg=0
[ "${1:-}" = "--wine-only" ] && native_leg=0

if [ $wine_leg = 1 ]; then bash scripts/setup.sh; else bash scripts/setup.sh --native; fi
[ -x /usr/bin/time ] || { apt-get install -y -qq time >/dev/null; }
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)" --target checkvela ini_bench >/dev/null

work=${BENCH_DIR:-$(pwd)/build/bench}
rm -rf "$work"
mkdir -p "$work"
reps=3

# seconds and max RSS (KiB) of one command: "<s> <kib>"
timed() {
  /usr/bin/time -f "%e %M" -o "$work/time.out" "$@" >"$work/cmd.out" 2>&1 || {
    cat "$work/cmd.out" >&2
    return 1
  }
  cat "$work/time.out"
}

# A fresh machine of Q queues, J jobs, S KiB at $1.
generate() { python3 bench/gen_machine.py "$1" "$2" "$3" "$4"; }

# The plain copy of a machine's data files into an empty directory: seconds.
copy_time() {
  local machine=$1 target=$work/cp-target
  rm -rf "$target"
  mkdir -p "$target"
  sync
  # xargs gives cp a few thousand names per process, as one cp of a long list would.
  /usr/bin/time -f "%e" -o "$work/time.out" \
    sh -c "xargs -d '\n' cp -t '$target' < '$machine/data-files.txt'"
  cat "$work/time.out"
  rm -rf "$target"
}

# checkvela on a machine: "<s> <kib>".
checkvela_time() {
  local machine=$1 program="$1/drive_c/Program Files/Vela"
  cp build/native/checkvela "$program/CheckVela"
  sync
  (cd "$machine/drive_c" && CHECKVELA_MACHINE="$machine" timed "$program/CheckVela")
  # Every job migrated: one spool copy per data file.
  local want have
  want=$(wc -l <"$machine/data-files.txt")
  have=$(find "$program/Spool" -type f | wc -l)
  [ "$want" = "$have" ] || { echo "bench: $have spool files, $want wanted" >&2; return 1; }
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

if [ $native_leg = 1 ]; then
echo "== checkvela against cp: 50 queues x 100 jobs x 2 data files x 8 KiB (median of $reps)"
ratios=()
for r in $(seq $reps); do
  m=$work/m50x100
  rm -rf "$m"
  generate "$m" 50 100 8
  c=$(copy_time "$m")
  out=$(checkvela_time "$m")
  read -r t kib <<<"$out"
  ratio=$(awk -v a="$t" -v b="$c" 'BEGIN {printf "%.2f", a / b}')
  echo "  run $r: checkvela ${t} s, cp ${c} s, ratio ${ratio}, max RSS ${kib} KiB"
  ratios+=("$ratio")
  rm -rf "$m"
done
echo "  median ratio: $(printf '%s\n' "${ratios[@]}" | median)"

echo "== scaling in jobs: 50 queues x J jobs x 2 x 8 KiB"
printf '  %6s %8s %10s %12s %10s\n' J files "seconds" "ms per job" "max RSS KiB"
for j in 25 100 400; do
  m=$work/m50x$j
  rm -rf "$m"
  generate "$m" 50 "$j" 8
  out=$(checkvela_time "$m")
  read -r t kib <<<"$out"
  printf '  %6d %8d %10s %12s %10s\n' "$j" $((50 * j * 2)) "$t" \
    "$(awk -v t="$t" -v n=$((50 * j)) 'BEGIN {printf "%.3f", t * 1000 / n}')" "$kib"
  rm -rf "$m"
done

echo "== peak memory against the data file size: 5 queues x 20 jobs x 2 files"
for s in 8 512; do
  m=$work/mem$s
  rm -rf "$m"
  generate "$m" 5 20 "$s"
  out=$(checkvela_time "$m")
  read -r t kib <<<"$out"
  echo "  S = $s KiB: ${t} s, max RSS ${kib} KiB"
  rm -rf "$m"
done

fi

if [ $wine_leg = 1 ]; then
  echo "== CheckVela.exe under Wine against cp: 50 queues x 100 jobs x 2 x 8 KiB"
  cmake --preset windows-test >/dev/null
  cmake --build --preset windows-test -j"$(nproc)" --target CheckVela >/dev/null 2>&1
  prefix=$work/wineprefix
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  run_x() {
    if [ -n "${DISPLAY:-}" ]; then "$@"; else xvfb-run -a -s "-screen 0 1024x768x24" "$@"; fi
  }
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  generate "$prefix" 50 100 8
  program="$prefix/drive_c/Program Files/Vela"
  cp build/windows-test/CheckVela.exe "$program/CheckVela.exe"
  # The 32-bit view the program writes to; the uninstall entry it hands over.
  wine reg import "$(winepath -w "$prefix/uninstall.reg")" /reg:32 >/dev/null 2>&1 || true
  wineserver -w
  c=$(copy_time "$prefix")
  # Wine's services inherit the output: it goes to a file, and time writes to its own.
  (cd "$program" && run_x /usr/bin/time -f "%e" -o "$work/time.out" \
    wine "C:\\Program Files\\Vela\\CheckVela.exe" >"$work/wine.out" 2>&1)
  t=$(cat "$work/time.out")
  have=$(find "$program/Spool" -type f | wc -l)
  want=$(wc -l <"$prefix/data-files.txt")
  echo "  CheckVela.exe ${t} s (wine start included), cp ${c} s, ratio" \
    "$(awk -v a="$t" -v b="$c" 'BEGIN {printf "%.2f", a / b}')"
  [ "$want" = "$have" ] || echo "  bench: $have spool files, $want wanted" >&2
  # Wine's own start-up, for reference: the same wine with a program that exits at once.
  run_x /usr/bin/time -f "%e" -o "$work/time.out" wine cmd /c exit >"$work/wine.out" 2>&1
  echo "  wine start-up alone (cmd /c exit): $(cat "$work/time.out") s"
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
fi

if [ $native_leg = 1 ]; then
  echo "== INI reading (bench/ini_bench)"
  build/native/ini_bench
fi
rm -rf "$work"
