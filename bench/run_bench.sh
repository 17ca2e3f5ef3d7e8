#!/bin/bash
# Whole-process benchmark: vexlo against cat and against the memory floor
# (bench/mem_floor.cpp: the file mapped and every byte read once with the
# widest vector loads) on the same files, run by hand.
#   bench/run_bench.sh BUILD_DIR [RUNS]
# Every input is first settled in the page cache: read with cat until its
# time stops falling (a file just written reads faster or slower than one
# that has sat in the cache), then cat, the floor and vexlo run in turn.
# BUILD_DIR is a build configured with -DVEXLO_BENCH=ON (for the input
# generator). VEXLO=/path/to/vexlo measures another binary of the tool.
# Inputs go to /tmp/vexlo-bench.XXXXXX and are removed at the end (KEEP=1
# keeps them). CASES picks the inputs (default: all of random random700
# small_pages ten_word all_ten zero near_miss dense disc tree outputs).
# random is 512 MiB, random700 700 MB; dense runs with bitmaps, PNGs and
# both; disc is a 700 MB raw CD image scanned with cdimage off and on.
# The page cache keeps a file written in large pieces (as the generator
# writes) in large pages, and one written in small pieces in small pages:
# small_pages is 512 MiB written by head -c from /dev/urandom, read three
# times by cat and then timed, not settled.
# tree is a tree search (searchtype "*", nothing written) over 5000 files of
# 4 KiB to 2 MiB (TREE_FILES sets the count), timed against one cat of the
# same files in the order the search reads them; TREE=DIR searches DIR
# instead, e.g. TREE=/usr/lib/x86_64-linux-gnu CASES=tree.
# outputs is the dense input written as 20000 bitmaps, timed against
# vexlo_create_floor (bench/create_floor.c) creating the same files with
# open, write and close.
# EXTRA is added to every vexlo.cfg, e.g. EXTRA='looseflags="1"\n'.
# STDERR_TTY=1 leaves standard error on the script's own (run it under
# `script -qfc` to give it a pseudo-terminal): vexlo then draws its status
# line, whose cost this measures.
# The dense case writes its 40000 files under OUT (default /dev/shm when it
# exists): on ext4 a directory refilled right after rm -rf spends seconds in
# the inode allocator, which measures the file system, not the tool.
# The dense case then runs with bitmaps only, PNGs only and both (no .tim
# copies). DENSE_ONLY=1 skips the scan-speed inputs.
set -euo pipefail

# The whole script runs in a session of its own, without a terminal, so that
# vexlo's key wait ends at once and vexlo starts as directly as cat does
# (starting it through setsid each time cost about 2.5 ms more).
if [ -z "${VEXLO_BENCH_DETACHED:-}" ]; then
  VEXLO_BENCH_DETACHED=1 exec setsid --wait bash "$0" "$@"
fi

build=${1:?usage: $0 BUILD_DIR [RUNS]}
runs=${2:-7}
vexlo=$(readlink -f "${VEXLO:-$build/vexlo}")
gen=$build/bench/vexlo_bench_input
floor=$build/bench/vexlo_mem_floor
# Private directories: benchmarks run side by side must not share files.
dir=${BENCH_DIR:-$(mktemp -d /tmp/vexlo-bench.XXXXXX)}
if [ -z "${OUT:-}" ]; then [ -d /dev/shm ] && OUT=/dev/shm/vexlo-bench-out.$$ || OUT=$dir/out; fi
mib=$((1 << 20))

[ -x "$vexlo" ] || { echo "no vexlo at $vexlo" >&2; exit 1; }
[ -x "$gen" ] || { echo "no $gen: configure with -DVEXLO_BENCH=ON" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }

mkdir -p "$dir/run"
cleanup() { rm -rf "$OUT"; [ "${KEEP:-0}" = 1 ] || rm -rf "$dir"; }
trap cleanup EXIT

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "vexlo:   $vexlo"
echo "runs:    $runs alternating runs per input, medians"
echo "extra:   ${EXTRA:-(none)}"

[ -x "$floor" ] || floor=
cases=" ${CASES:-random random700 small_pages ten_word all_ten zero near_miss dense disc tree outputs} "
want() { [[ $cases == *" $1 "* ]]; }
want random && "$gen" random $((512 * mib)) "$dir/random.bin"
want small_pages && head -c $((512 * mib)) /dev/urandom >"$dir/small_pages.bin"
want random700 && "$gen" random 700000000 "$dir/random700.bin"
for kind in ten_word all_ten zero near_miss dense; do
  { want "$kind" || { [ "$kind" = dense ] && want outputs; }; } &&
    "$gen" "$kind" $((64 * mib)) "$dir/$kind.bin"
done
if want tree && [ -z "${TREE:-}" ]; then
  "$gen" tree "${TREE_FILES:-5000}" "$dir/tree"
  TREE=$dir/tree
fi
want disc && "$gen" disc 700000000 "$dir/disc.bin"

# One timed run of "$@": wall time in ms to stdout, peak RSS in KiB to $dir/rss.
# stdin is /dev/null and there is no terminal: vexlo's key wait returns at
# once.
timed() {
  local t0 t1 err=/dev/null
  [ -n "${STDERR_TTY:-}" ] && err=/dev/stderr
  t0=$EPOCHREALTIME
  /usr/bin/time -f %M -o "$dir/rss" "$@" </dev/null >/dev/null 2>"$err" || true
  t1=$EPOCHREALTIME
  echo "$t0 $t1" | awk '{ printf "%.3f\n", ($2 - $1) * 1000 }'
}

median() { sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# Reads FILE with cat until a pass is no faster than the best before it by
# 2% three times in a row (at most 20 passes).
settle() {
  local best=1e9 calm=0 r i
  for ((i = 0; i < 20 && calm < 3; i++)); do
    r=$(timed cat "$1")
    if awk -v r="$r" -v b="$best" 'BEGIN { exit !(r < b * 0.98) }'; then
      calm=0
    else
      calm=$((calm + 1))
    fi
    best=$(awk -v r="$r" -v b="$best" 'BEGIN { print (r < b ? r : b) }')
  done
}

# compare NAME FILE [extra config lines]: alternates cat, the floor and vexlo.
# With SETTLED=N the file is read N times by cat instead of settled.
compare() {
  local name=$1 file=$2 extra=${3:-}
  local cats=() floors=() vex=() rss=0 r i
  printf 'infile="%s"\n%b%b' "$file" "$extra" "${EXTRA:-}" >"$dir/run/vexlo.cfg"
  if [ -n "${SETTLED:-}" ]; then
    for ((i = 0; i < SETTLED; i++)); do cat "$file" >/dev/null; done
  else
    settle "$file"
  fi
  for ((i = 0; i <= runs; i++)); do
    rm -rf "$OUT"; mkdir -p "$OUT"
    r=$(timed cat "$file")
    [ "$i" -gt 0 ] && cats+=("$r")
    if [ -n "$floor" ]; then
      r=$(timed "$floor" "$file")
      [ "$i" -gt 0 ] && floors+=("$r")
    fi
    r=$(cd "$dir/run" && timed "$vexlo")
    if [ "$i" -gt 0 ]; then  # run 0 warms up
      vex+=("$r")
      r=$(tail -n 1 "$dir/rss"); [ "$r" -gt "$rss" ] && rss=$r
    fi
  done
  local mc mf=0 mv size
  mc=$(printf '%s\n' "${cats[@]}" | median)
  [ -n "$floor" ] && mf=$(printf '%s\n' "${floors[@]}" | median)
  mv=$(printf '%s\n' "${vex[@]}" | median)
  size=$(stat -c %s "$file")
  awk -v n="$name" -v c="$mc" -v f="$mf" -v v="$mv" -v rss="$rss" -v size="$size" 'BEGIN {
    printf "%-10s cat %7.1f ms  floor %7.1f ms  vexlo %7.1f ms  /cat %5.2fx  /floor %5.2fx  peak RSS %7.1f MiB (file %6.1f MiB, +%.1f)\n",
           n, c, f, v, v / c, (f > 0 ? v / f : 0), rss / 1024, size / 1048576, rss / 1024 - size / 1048576 }'
  LAST_MS=$mv
}

want random && compare random "$dir/random.bin"
want random700 && compare random700 "$dir/random700.bin"
want small_pages && SETTLED=3 compare small_pages "$dir/small_pages.bin"
for kind in ten_word all_ten zero near_miss; do
  want "$kind" && compare "$kind" "$dir/$kind.bin"
done

if want dense; then
# dense NAME KEYS: the dense input with output keys KEYS; TIMs/s and bytes.
dense() {
  compare "$1" "$dir/dense.bin" "outname=\"$OUT/t\"\nmaxtims=\"1000000\"\n$2"
  local tims bytes
  tims=$(grep -c '^TIM at byte' <(cd "$dir/run" && "$vexlo" </dev/null))
  bytes=$(find "$OUT" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
  awk -v n="$1" -v t="$tims" -v b="$bytes" -v ms="$LAST_MS" 'BEGIN {
    printf "%-10s %d TIMs, %.1f MB written: %.0f TIMs/s, %.1f MB/s\n",
           n ":", t, b / 1e6, t / (ms / 1000), b / 1e6 / (ms / 1000) }'
}
dense dense 'writetim="1"\nwritebmp="1"\n'
dense bmp 'writebmp="1"\n'
dense png 'writebmp="0"\nwritepng="1"\n'
dense both 'writebmp="1"\nwritepng="1"\n'
fi

# The raw image scanned as plain bytes and as a disc image.
if want disc; then
  compare disc_off "$dir/disc.bin" 'cdimage="0"\nmaxtims="100"\n'
  compare disc_on "$dir/disc.bin" 'cdimage="1"\nmaxtims="100"\n'
fi

# ratio NAME BASE_NAME "BASE_MS..." "VEXLO_MS...": medians, minima and the
# ratios of both.
ratio() {
  local mb lb mv lv
  mb=$(printf '%s\n' $3 | median); lb=$(printf '%s\n' $3 | sort -g | head -n 1)
  mv=$(printf '%s\n' $4 | median); lv=$(printf '%s\n' $4 | sort -g | head -n 1)
  awk -v n="$1" -v bn="$2" -v mb="$mb" -v lb="$lb" -v mv="$mv" -v lv="$lv" 'BEGIN {
    printf "%-10s %s %7.1f ms (min %7.1f)  vexlo %7.1f ms (min %7.1f)  /%s %5.2fx (minima %5.2fx)\n",
           n, bn, mb, lb, mv, lv, bn, mv / mb, lv / lb }'
}

# The tree search against cat of the same files, in the order the search
# reads them (taken from its "Reading" lines), settled first.
if want tree; then
  printf 'inpath="%s"\nsearchtype="*"\nmaxtims="1000000"\n%b' "$TREE" "${EXTRA:-}" \
    >"$dir/run/vexlo.cfg"
  mapfile -t files < <(cd "$dir/run" && { "$vexlo" </dev/null || true; } |
    sed -n 's/^Reading \(.*\) (-\{0,1\}[0-9]* bytes)\.\.\.$/\1/p')
  best=1e9 calm=0
  for ((i = 0; i < 20 && calm < 3; i++)); do
    r=$(timed cat "${files[@]}")
    if awk -v r="$r" -v b="$best" 'BEGIN { exit !(r < b * 0.98) }'; then calm=0; else calm=$((calm + 1)); fi
    best=$(awk -v r="$r" -v b="$best" 'BEGIN { print (r < b ? r : b) }')
  done
  cats="" vex=""
  for ((i = 0; i <= runs; i++)); do
    r=$(timed cat "${files[@]}"); [ "$i" -gt 0 ] && cats="$cats $r"
    r=$(cd "$dir/run" && timed "$vexlo"); [ "$i" -gt 0 ] && vex="$vex $r"
  done
  bytes=$(du -cb --apparent-size "${files[@]}" | tail -n 1 | cut -f 1)
  echo "tree:      ${#files[@]} files, $((bytes / mib)) MiB read ($TREE)"
  ratio tree cat "$cats" "$vex"
fi

# 20000 bitmaps against the same files made with open, write and close.
if want outputs; then
  create=$build/bench/vexlo_create_floor
  [ -x "$create" ] || { echo "no $create" >&2; exit 1; }
  printf 'infile="%s"\noutname="%s/t"\nmaxtims="1000000"\nwritebmp="1"\n%b' \
    "$dir/dense.bin" "$OUT" "${EXTRA:-}" >"$dir/run/vexlo.cfg"
  rm -rf "$OUT"; mkdir -p "$OUT"
  (cd "$dir/run" && "$vexlo" </dev/null >/dev/null) || true
  find "$OUT" -type f -printf '%f %s\n' >"$dir/outputs.txt"
  settle "$dir/dense.bin"
  floors="" vex=""
  for ((i = 0; i <= runs; i++)); do
    rm -rf "$OUT"; mkdir -p "$OUT"
    r=$(timed "$create" "$dir/outputs.txt" "$OUT"); [ "$i" -gt 0 ] && floors="$floors $r"
    rm -rf "$OUT"; mkdir -p "$OUT"
    r=$(cd "$dir/run" && timed "$vexlo"); [ "$i" -gt 0 ] && vex="$vex $r"
  done
  echo "outputs:   $(wc -l <"$dir/outputs.txt") files, $(awk '{ s += $2 } END { print s }' "$dir/outputs.txt") bytes, in $OUT"
  ratio outputs create "$floors" "$vex"
fi
