#!/usr/bin/env bash
# Benchmarks (not tests): the migration of generated old installations by checkvela as it is, by
# checkvela as it was before the durability work (commit $BENCH_BEFORE, default 24acde3, built
# in build/before from a `git archive` of that commit) and by the floor (bench/floor_bench.cpp:
# only the file work that "nothing lost, even on a power cut" requires), side by side in the same
# run, on tmpfs and on the disk; the system calls per moved file; the scaling in jobs; peak
# memory against the size of registry.reg; CheckVela.exe under Wine; and the INI reading
# benchmark.
#   scripts/bench.sh [--no-wine] [--wine-only]
# Scratch machines go below $BENCH_DIR (default build/bench, the disk of the worktree) and, for
# the tmpfs figures, below $BENCH_TMPFS (default /dev/shm/checkvela-bench; set it empty to
# skip them). Both are removed at the end. $BENCH_REPS (default 3) runs of each comparison.
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

# checkvela before the durability work, built once from an archive of that commit.
before_commit=${BENCH_BEFORE:-24acde3}
before_src=build/before-src
before_bin=build/before/checkvela
if [ "$(cat build/before/commit 2>/dev/null)" != "$(git rev-parse "$before_commit")" ] ||
  [ ! -x "$before_bin" ]; then
  rm -rf "$before_src" build/before
  mkdir -p "$before_src"
  git archive "$before_commit" | tar -x -C "$before_src"
  cmake -S "$before_src" -B build/before -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCHECKVELA_TESTS=OFF >/dev/null
  cmake --build build/before -j2 --target checkvela >/dev/null
  git rev-parse "$before_commit" >build/before/commit
fi

disk=${BENCH_DIR:-$(pwd)/build/bench}
tmpfs=${BENCH_TMPFS-/dev/shm/checkvela-bench}
if [ -n "$tmpfs" ] && [ "$(stat -f -c %T "$(dirname "$tmpfs")" 2>/dev/null)" != tmpfs ]; then
  echo "bench: $(dirname "$tmpfs") is no tmpfs; the tmpfs figures are left out" >&2
  tmpfs=
fi
# A file system of its own for each machine on the disk, made anew before each comparison: an
# ext4 with a journal (mkfs.ext4's defaults) in an image on the worktree's disk, mounted through
# a loop device. Nothing deleted before is in its inode tables, so the three programs start
# alike; it needs root and a loop device, else the figures on a fresh ext4 are left out.
fresh=${BENCH_FRESH-$disk/fresh}
if [ -n "$fresh" ] && { [ "$(id -u)" != 0 ] || ! command -v mkfs.ext4 >/dev/null ||
  ! losetup -f >/dev/null 2>&1; }; then
  echo "bench: no root or no loop device: the figures on a fresh ext4 are left out" >&2
  fresh=
fi
unmount_fresh() {
  local d
  for d in ${fresh:+"$fresh"/*/}; do mountpoint -q "$d" && umount "$d"; done
  return 0
}
# Makes $fresh/$1 a new, empty ext4.
make_fresh() {
  local dir=$fresh/$1 image=$fresh/$1.img
  mountpoint -q "$dir" && umount "$dir"
  mkdir -p "$dir"
  rm -f "$image"
  truncate -s 2G "$image"
  mkfs.ext4 -q -F "$image" && mount -o loop "$image" "$dir"
}
cleanup() {
  unmount_fresh
  rm -rf "$disk" ${tmpfs:+"$tmpfs"}
}
trap cleanup EXIT
cleanup
mkdir -p "$disk" ${tmpfs:+"$tmpfs"}
work=$disk
reps=${BENCH_REPS:-3}

# Wall-clock seconds (to the millisecond) and max RSS (KiB) of one command: "<s> <kib>".
timed() {
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f "%M" -o "$work/time.out" "$@" >"$work/cmd.out" 2>&1 || {
    cat "$work/cmd.out" >&2
    return 1
  }
  end=$(date +%s%N)
  awk -v ns=$((end - start)) -v kib="$(tail -1 "$work/time.out")" \
    'BEGIN {printf "%.3f %d\n", ns / 1e9, kib}'
}

# A fresh machine of Q queues, J jobs, S KiB at $1.
generate() { python3 bench/gen_machine.py "$1" "$2" "$3" "$4"; }

# Before a timed command on the disk: what earlier commands wrote and deleted is written out and
# more than 5 s old. ext4 without a journal (as on the development VM) skips inodes deleted in
# the last 5 s, or 5 min while their inode table is not written out, when it allocates one, so
# the deletions of one command would otherwise slow the file creations of the next. The 5 min
# still apply once a command dirties those tables again: the disk figures vary with what was
# deleted before, and the comparisons turn their order from run to run.
settle() {
  sync
  if [ "$(stat -f -c %T "$1")" != tmpfs ]; then sleep 6; fi
}

# The floor on a machine ($1; --kept before it for the floor of the kept guarantees):
# "<s> <kib> <system calls per moved file>".
floor_time() {
  settle "${@: -1}"
  local t
  t=$(timed build/native/floor_bench "$@")
  echo "$t $(awk '{printf "%.2f", $2 / $3}' "$work/cmd.out")"
}

# A checkvela binary ($1) on a machine ($2): "<s> <kib>", checked to have migrated every job.
checkvela_time() {
  local binary=$1 machine=$2 program="$2/drive_c/Program Files/Vela"
  cp "$binary" "$program/CheckVela"
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
places=(disk)
[ -n "$tmpfs" ] && places=(tmpfs disk)
[ -n "$fresh" ] && places+=(ext4)
place_dir() {
  case $1 in
    tmpfs) echo "$tmpfs" ;;
    disk) echo "$disk" ;;
    ext4) echo "$fresh" ;;
  esac
}

if [ $native_leg = 1 ]; then
  echo "== checkvela against the floor: 50 queues x 100 jobs x 2 data files x 8 KiB, side by side"
  echo "   $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)," \
    "commit $(git rev-parse --short HEAD), before: $before_commit"
  declare -A now_s before_s floor_s kept_s now_q before_q kept_q
  for r in $(seq "$reps"); do
    for place in "${places[@]}"; do
      m=$(place_dir "$place")/m50x100
      if [ "$place" = ext4 ]; then
        # Each machine alone on a new file system: $fresh/<program>/m.
        for v in now before floor kept; do make_fresh "$v"; done
        m=$fresh
        for v in now before floor kept; do generate "$m/$v/m" 50 100 8; done
        machine() { echo "$m/$1/m"; }
      else
        rm -rf "$m-now" "$m-before" "$m-floor" "$m-kept"
        for v in now before floor kept; do generate "$m-$v" 50 100 8; done
        machine() { echo "$m-$1"; }
      fi
      # One after another, in an order that turns with each run: on the disk, what one command
      # deleted slows the file creations of the next for minutes (see "settle").
      order=(floor kept before now)
      for k in 0 1 2 3; do
        case ${order[$(((k + r) % 4))]} in
          floor) read -r f _ fcalls <<<"$(floor_time "$(machine floor)")" ;;
          kept) read -r c _ kcalls <<<"$(floor_time --kept "$(machine kept)")" ;;
          before) read -r b _ <<<"$(checkvela_time "$before_bin" "$(machine before)")" ;;
          now) read -r t kib <<<"$(checkvela_time build/native/checkvela "$(machine now)")" ;;
        esac
      done
      printf '  run %d %-5s: checkvela %6.3f s, before %6.3f s, floor %6.3f s, kept %6.3f s;' \
        "$r" "$place" "$t" "$b" "$f" "$c"
      printf ' checkvela/floor %5.2f, before/floor %5.2f, kept/floor %5.2f; max RSS %d KiB\n' \
        "$(ratio "$t" "$f")" "$(ratio "$b" "$f")" "$(ratio "$c" "$f")" "$kib"
      now_s[$place]="${now_s[$place]:-} $t"
      before_s[$place]="${before_s[$place]:-} $b"
      floor_s[$place]="${floor_s[$place]:-} $f"
      kept_s[$place]="${kept_s[$place]:-} $c"
      kept_q[$place]="${kept_q[$place]:-} $(ratio "$c" "$f")"
      now_q[$place]="${now_q[$place]:-} $(ratio "$t" "$f")"
      before_q[$place]="${before_q[$place]:-} $(ratio "$b" "$f")"
      if [ "$place" = ext4 ]; then
        unmount_fresh
      else
        rm -rf "$m-now" "$m-before" "$m-floor" "$m-kept"
      fi
    done
  done
  for place in "${places[@]}"; do
    printf '  median on %-5s: checkvela %6.3f s, before %6.3f s, floor %6.3f s, kept %6.3f s;' \
      "$place" "$(printf '%s\n' ${now_s[$place]} | median)" \
      "$(printf '%s\n' ${before_s[$place]} | median)" "$(printf '%s\n' ${floor_s[$place]} | median)" \
      "$(printf '%s\n' ${kept_s[$place]} | median)"
    echo " checkvela/floor $(printf '%s\n' ${now_q[$place]} | median)," \
      "before/floor $(printf '%s\n' ${before_q[$place]} | median)," \
      "kept/floor $(printf '%s\n' ${kept_q[$place]} | median)"
  done
  echo "  system calls per moved file, counted by hand: floor $fcalls, kept $kcalls"

  if command -v strace >/dev/null; then
    echo "== system calls per moved file: 50 queues x 100 jobs (strace -c -f)"
    m=${tmpfs:-$disk}/strace
    for v in now before floor kept; do
      rm -rf "$m"
      generate "$m" 50 100 8
      program="$m/drive_c/Program Files/Vela"
      case $v in
        floor) strace -c -f -o "$work/strace-$v.out" build/native/floor_bench "$m" >/dev/null ;;
        kept)
          strace -c -f -o "$work/strace-$v.out" build/native/floor_bench --kept "$m" >/dev/null
          ;;
        *)
          binary=build/native/checkvela
          [ $v = before ] && binary=$before_bin
          cp "$binary" "$program/CheckVela"
          (cd "$m/drive_c" && CHECKVELA_MACHINE="$m" strace -c -f -o "$work/strace-$v.out" \
            "$program/CheckVela" >/dev/null)
          ;;
      esac
      # Every moved file, a data file copied into Spool or a file moved into Backup, has its
      # copy line.
      moved=$(grep -c '^copy/y\|^if not exist' "$program/Backup/restore.bat")
      # strace -c: % time, seconds, usecs/call, calls, errors (may be empty), syscall.
      calls=$(awk '$NF == "total" {print $4}' "$work/strace-$v.out")
      printf '  %-9s %7d system calls for %d moved files: %5.1f per file\n' "$v" "$calls" \
        "$moved" "$(awk -v c="$calls" -v m="$moved" 'BEGIN {print c / m}')"
    done
    echo "  by call (now / before / floor / kept):"
    for v in now before floor kept; do
      awk -v v=$v '$1 ~ /^[0-9.]+$/ && $NF != "total" {print $NF, v, $4}' "$work/strace-$v.out"
    done | awk '{c[$1, $2] = $3; names[$1] = 1}
      END {for (n in names) printf "    %-18s %8d %8d %8d %8d\n", n, c[n, "now"], c[n, "before"],
        c[n, "floor"], c[n, "kept"]}' | sort -k2 -rn | head -14
    rm -rf "$m"
  fi

  echo "== scaling in jobs: 50 queues x J jobs x 2 x 8 KiB${tmpfs:+ (tmpfs)}"
  printf '  %-9s %5s %7s %8s %10s %12s %14s %8s\n' program J files seconds "ms per job" \
    "max RSS KiB" "registry.reg" "RSS/reg"
  for j in 25 100 400; do
    for v in now before; do
      binary=build/native/checkvela
      [ $v = before ] && binary=$before_bin
      m=${tmpfs:-$disk}/m50x$j
      rm -rf "$m"
      generate "$m" 50 "$j" 8
      read -r t kib <<<"$(checkvela_time "$binary" "$m")"
      reg=$(stat -c %s "$m/registry.reg")
      printf '  %-9s %5d %7d %8s %10s %12s %14s %8s\n' "$v" "$j" $((50 * j * 2)) "$t" \
        "$(awk -v t="$t" -v n=$((50 * j)) 'BEGIN {printf "%.3f", t * 1000 / n}')" "$kib" "$reg" \
        "$(awk -v k="$kib" -v r="$reg" 'BEGIN {printf "%.1f", k * 1024 / r}')"
      rm -rf "$m"
    done
  done

  echo "== peak memory: 50 queues x 400 jobs x 2 x 1 KiB, against registry.reg"
  for v in now before; do
    binary=build/native/checkvela
    [ $v = before ] && binary=$before_bin
    m=${tmpfs:-$disk}/mem
    rm -rf "$m"
    generate "$m" 50 400 1
    read -r t kib <<<"$(checkvela_time "$binary" "$m")"
    reg=$(stat -c %s "$m/registry.reg")
    goal=$((2 * reg / 1024 + 16384))
    verdict="within"
    [ "$kib" -le "$goal" ] || verdict="over"
    printf '  %-7s %6.3f s, max RSS %d KiB, registry.reg %d KiB: 2 x registry.reg + 16 MiB =' \
      "$v" "$t" "$kib" $((reg / 1024))
    echo " $goal KiB, $verdict"
    rm -rf "$m"
  done

  echo "== peak memory against the data file size: 5 queues x 20 jobs x 2 files"
  for s in 8 512; do
    m=$disk/mem$s
    rm -rf "$m"
    generate "$m" 5 20 "$s"
    read -r t kib <<<"$(checkvela_time build/native/checkvela "$m")"
    echo "  S = $s KiB: ${t} s, max RSS ${kib} KiB"
    rm -rf "$m"
  done
fi

if [ $wine_leg = 1 ]; then
  echo "== CheckVela.exe under Wine against the floor: 50 queues x 100 jobs x 2 x 8 KiB"
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
  generate "$work/wine-floor" 50 100 8
  read -r f _ _ <<<"$(floor_time "$work/wine-floor")"
  settle "$prefix"
  # Wine's services inherit the output: it goes to a file, and time writes to its own.
  start=$(date +%s%N)
  (cd "$program" && run_x wine "C:\\Program Files\\Vela\\CheckVela.exe" >"$work/wine.out" 2>&1)
  end=$(date +%s%N)
  t=$(awk -v ns=$((end - start)) 'BEGIN {printf "%.3f", ns / 1e9}')
  have=$(find "$program/Spool" -type f | wc -l)
  want=$(wc -l <"$prefix/data-files.txt")
  echo "  CheckVela.exe ${t} s (wine start included), floor ${f} s, ratio $(ratio "$t" "$f")"
  [ "$want" = "$have" ] || echo "  bench: $have spool files, $want wanted" >&2
  # Wine's own start-up, for reference: the same wine with a program that exits at once.
  start=$(date +%s%N)
  run_x wine cmd /c exit >"$work/wine.out" 2>&1
  end=$(date +%s%N)
  echo "  wine start-up alone (cmd /c exit): $(awk -v ns=$((end - start)) \
    'BEGIN {printf "%.3f", ns / 1e9}') s"
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix" "$work/wine-floor"
fi

if [ $native_leg = 1 ]; then
  echo "== INI reading (bench/ini_bench)"
  build/native/ini_bench
fi
