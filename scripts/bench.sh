#!/usr/bin/env bash
# Benchmarks (not tests): the migration of generated old installations with checkvela and with
# CheckVela.exe under Wine, each against a plain `cp` of the same data files into an empty
# directory on the same disk, measured side by side in the same run; the system calls per moved
# file; the scaling in jobs with peak memory against the size of registry.reg; peak memory
# against the data file size; and the INI reading benchmark.
#   scripts/bench.sh [--no-wine] [--wine-only]
# Scratch machines go below $BENCH_DIR (default build/bench, the disk of the worktree) and, for
# the tmpfs figures, below $BENCH_TMPFS (default /dev/shm/checkvela-bench; set it empty to
# skip them). Both are removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
wine_leg=1
native_leg=1
[ "${1:-}" = "--no-wine" ] && wine_leg=0
[ "${1:-}" = "--wine-only" ] && native_leg=0

if [ $wine_leg = 1 ]; then bash scripts/setup.sh; else bash scripts/setup.sh --native; fi
[ -x /usr/bin/time ] || apt-get install -y -qq time >/dev/null
command -v strace >/dev/null || apt-get install -y -qq strace >/dev/null || true
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target checkvela ini_bench floor_bench >/dev/null

disk=${BENCH_DIR:-$(pwd)/build/bench}
tmpfs=${BENCH_TMPFS-/dev/shm/checkvela-bench}
if [ -n "$tmpfs" ] && [ "$(stat -f -c %T "$(dirname "$tmpfs")" 2>/dev/null)" != tmpfs ]; then
  echo "bench: $(dirname "$tmpfs") is no tmpfs; the tmpfs figures are left out" >&2
  tmpfs=
fi
cleanup() { rm -rf "$disk" ${tmpfs:+"$tmpfs"}; }
trap cleanup EXIT
cleanup
mkdir -p "$disk" ${tmpfs:+"$tmpfs"}
work=$disk
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

# Before a timed command on the disk: what earlier commands wrote and deleted is written out and
# more than 5 s old. ext4 without a journal (as on the development VM) skips inodes deleted in
# the last 5 s, or 5 min while their inode table is not written out, when it allocates one, so
# the deletions of one command would otherwise slow the file creations of the next.
settle() {
  sync
  if [ "$(stat -f -c %T "$1")" != tmpfs ]; then sleep 6; fi
}

# The plain copy of a machine's data files into an empty directory on its disk: seconds. The
# copies stay until the caller removes $1-cp.
copy_time() {
  local machine=$1 target=$1-cp
  rm -rf "$target"
  mkdir -p "$target"
  settle "$machine"
  # xargs gives cp a few thousand names per process, as one cp of a long list would.
  /usr/bin/time -f "%e" -o "$work/time.out" \
    sh -c "xargs -d '\n' cp -t '$target' < '$machine/data-files.txt'"
  cat "$work/time.out"
}

# The floor: only the file work that the migration's guarantees require (bench/floor_bench.cpp).
# "<s> <system calls per moved file>"
floor_time() {
  settle "$1"
  build/native/floor_bench "$1" | awk '{printf "%s %.1f\n", $1, $2 / $3}'
}

# checkvela on a machine: "<s> <kib>", checked to have migrated every job.
checkvela_time() {
  local machine=$1 program="$1/drive_c/Program Files/Vela"
  cp build/native/checkvela "$program/CheckVela"
  settle "$machine"
  (cd "$machine/drive_c" && CHECKVELA_MACHINE="$machine" timed "$program/CheckVela")
  # Every job migrated: one spool copy per data file.
  local want have
  want=$(wc -l <"$machine/data-files.txt")
  have=$(find "$program/Spool" -type f | wc -l)
  [ "$want" = "$have" ] || { echo "bench: $have spool files, $want wanted" >&2; return 1; }
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

if [ $native_leg = 1 ]; then
  echo "== checkvela against cp: 50 queues x 100 jobs x 2 data files x 8 KiB, side by side"
  echo "   $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "   floor: the file work alone that the guarantees require (bench/floor_bench.cpp)"
  places=(disk)
  [ -n "$tmpfs" ] && places=(tmpfs disk)
  declare -A ratios floors
  for r in $(seq $reps); do
    for place in "${places[@]}"; do
      dir=$disk
      [ "$place" = tmpfs ] && dir=$tmpfs
      m=$dir/m50x100
      rm -rf "$m" "$m-floor" "$m-cp"
      generate "$m" 50 100 8
      generate "$m-floor" 50 100 8
      c=$(copy_time "$m")
      read -r f fcalls <<<"$(floor_time "$m-floor")"
      read -r t kib <<<"$(checkvela_time "$m")"
      q=$(ratio "$t" "$c")
      printf '  run %d %-5s: checkvela %5.2f s, floor %5.2f s, cp %5.2f s; checkvela/cp %5.2f,' \
        "$r" "$place" "$t" "$f" "$c" "$q"
      printf ' floor/cp %5.2f; max RSS %d KiB\n' "$(ratio "$f" "$c")" "$kib"
      ratios[$place]="${ratios[$place]:-} $q"
      floors[$place]="${floors[$place]:-} $(ratio "$f" "$c")"
      rm -rf "$m" "$m-floor" "$m-cp"
    done
  done
  for place in "${places[@]}"; do
    echo "  median ratio on $place: checkvela/cp $(printf '%s\n' ${ratios[$place]} | median)," \
      "floor/cp $(printf '%s\n' ${floors[$place]} | median)"
  done
  echo "  the floor makes $fcalls system calls per moved file"

  if command -v strace >/dev/null; then
    echo "== system calls per moved file: 20 queues x 100 jobs (strace -c -f)"
    m=${tmpfs:-$disk}/m20x100
    rm -rf "$m"
    generate "$m" 20 100 8
    program="$m/drive_c/Program Files/Vela"
    cp build/native/checkvela "$program/CheckVela"
    (cd "$m/drive_c" && CHECKVELA_MACHINE="$m" strace -c -f -o "$work/strace.out" \
      "$program/CheckVela" >/dev/null)
    # Every moved file, a data file copied into Spool or a file moved into Backup, has its line.
    moved=$(wc -l <"$program/Backup/restore.bat")
    calls=$(awk '$NF == "total" {print $4}' "$work/strace.out")
    echo "  $calls system calls for $moved moved files: $(ratio "$calls" "$moved") per file"
    awk '$1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" {print "    " $NF ": " $4}' "$work/strace.out" |
      sort -t: -k2 -rn | head -8
    rm -rf "$m"
  fi

  echo "== scaling in jobs: 50 queues x J jobs x 2 x 8 KiB${tmpfs:+ (tmpfs)}"
  printf '  %6s %8s %8s %10s %12s %14s %8s\n' J files seconds "ms per job" "max RSS KiB" \
    "registry.reg" "RSS/reg"
  for j in 25 100 400; do
    m=${tmpfs:-$disk}/m50x$j
    rm -rf "$m"
    generate "$m" 50 "$j" 8
    read -r t kib <<<"$(checkvela_time "$m")"
    reg=$(stat -c %s "$m/registry.reg")
    printf '  %6d %8d %8s %10s %12s %14s %8s\n' "$j" $((50 * j * 2)) "$t" \
      "$(awk -v t="$t" -v n=$((50 * j)) 'BEGIN {printf "%.3f", t * 1000 / n}')" "$kib" "$reg" \
      "$(awk -v k="$kib" -v r="$reg" 'BEGIN {printf "%.1f", k * 1024 / r}')"
    rm -rf "$m"
  done

  echo "== peak memory against the data file size: 5 queues x 20 jobs x 2 files"
  for s in 8 512; do
    m=$disk/mem$s
    rm -rf "$m"
    generate "$m" 5 20 "$s"
    read -r t kib <<<"$(checkvela_time "$m")"
    echo "  S = $s KiB: ${t} s, max RSS ${kib} KiB"
    rm -rf "$m"
  done
fi

if [ $wine_leg = 1 ]; then
  echo "== CheckVela.exe under Wine against cp: 50 queues x 100 jobs x 2 x 8 KiB"
  cmake --preset windows-test >/dev/null
  cmake --build --preset windows-test -j2 --target CheckVela >/dev/null 2>&1
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
  echo "  CheckVela.exe ${t} s (wine start included), cp ${c} s, ratio $(ratio "$t" "$c")"
  [ "$want" = "$have" ] || echo "  bench: $have spool files, $want wanted" >&2
  # Wine's own start-up, for reference: the same wine with a program that exits at once.
  run_x /usr/bin/time -f "%e" -o "$work/time.out" wine cmd /c exit >"$work/wine.out" 2>&1
  echo "  wine start-up alone (cmd /c exit): $(cat "$work/time.out") s"
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix" "$prefix-cp"
fi

if [ $native_leg = 1 ]; then
  echo "== INI reading (bench/ini_bench)"
  build/native/ini_bench
fi
