#!/bin/bash
# Whole-process benchmark: vexlo against cat on the same files, run by hand.
#   bench/run_bench.sh BUILD_DIR [RUNS]
# BUILD_DIR is a build configured with -DVEXLO_BENCH=ON (for the input
# generator). VEXLO=/path/to/vexlo measures another binary of the tool.
# Inputs go to /tmp/vexlo-bench.XXXXXX and are removed at the end (KEEP=1
# keeps them). CASES picks the inputs (default: all of random ten_word all_ten
# zero near_miss dense disc). dense runs with bitmaps, PNGs and both; disc is
# a 700 MB raw CD image scanned with cdimage off and on, alternating.
# EXTRA is added to every vexlo.cfg, e.g. EXTRA='looseflags="1"\n'.
# The dense case writes its 40000 files under OUT (default /dev/shm when it
# exists): on ext4 a directory refilled right after rm -rf spends seconds in
# the inode allocator, which measures the file system, not the tool.
# The dense case then runs with bitmaps only, PNGs only and both (no .tim
# copies). DENSE_ONLY=1 skips the scan-speed inputs.
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [RUNS]}
runs=${2:-7}
vexlo=$(readlink -f "${VEXLO:-$build/vexlo}")
gen=$build/bench/vexlo_bench_input
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

cases=" ${CASES:-random ten_word all_ten zero near_miss dense disc} "
want() { [[ $cases == *" $1 "* ]]; }
want random && "$gen" random $((512 * mib)) "$dir/random.bin"
for kind in ten_word all_ten zero near_miss dense; do
  want "$kind" && "$gen" "$kind" $((64 * mib)) "$dir/$kind.bin"
done
want disc && "$gen" disc 700000000 "$dir/disc.bin"

# One timed run of "$@": wall time in ms to stdout, peak RSS in KiB to $dir/rss.
# vexlo runs in a new session with stdin from /dev/null, so the key wait has
# no terminal and returns at once.
timed() {
  local t0 t1
  t0=$EPOCHREALTIME
  /usr/bin/time -f %M -o "$dir/rss" "$@" </dev/null >/dev/null 2>&1 || true
  t1=$EPOCHREALTIME
  echo "$t0 $t1" | awk '{ printf "%.3f\n", ($2 - $1) * 1000 }'
}

median() { sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# compare NAME FILE [extra config lines]: alternates cat and vexlo.
compare() {
  local name=$1 file=$2 extra=${3:-}
  local cats=() vex=() rss=0 r i
  printf 'infile="%s"\n%b%b' "$file" "$extra" "${EXTRA:-}" >"$dir/run/vexlo.cfg"
  cat "$file" >/dev/null  # into the page cache
  for ((i = 0; i <= runs; i++)); do
    rm -rf "$OUT"; mkdir -p "$OUT"
    r=$(timed cat "$file")
    [ "$i" -gt 0 ] && cats+=("$r")
    r=$(cd "$dir/run" && timed setsid "$vexlo")
    if [ "$i" -gt 0 ]; then  # run 0 warms up
      vex+=("$r")
      r=$(tail -n 1 "$dir/rss"); [ "$r" -gt "$rss" ] && rss=$r
    fi
  done
  local mc mv size
  mc=$(printf '%s\n' "${cats[@]}" | median)
  mv=$(printf '%s\n' "${vex[@]}" | median)
  size=$(stat -c %s "$file")
  awk -v n="$name" -v c="$mc" -v v="$mv" -v rss="$rss" -v size="$size" 'BEGIN {
    printf "%-10s cat %8.1f ms  vexlo %8.1f ms  ratio %5.2fx  peak RSS %7.1f MiB (file %6.1f MiB, +%.1f)\n",
           n, c, v, v / c, rss / 1024, size / 1048576, rss / 1024 - size / 1048576 }'
  LAST_MS=$mv
}

want random && compare random "$dir/random.bin"
for kind in ten_word all_ten zero near_miss; do
  want "$kind" && compare "$kind" "$dir/$kind.bin"
done

if want dense; then
# dense NAME KEYS: the dense input with output keys KEYS; TIMs/s and bytes.
dense() {
  compare "$1" "$dir/dense.bin" "outname=\"$OUT/t\"\nmaxtims=\"1000000\"\n$2"
  local tims bytes
  tims=$(grep -c '^TIM at byte' <(cd "$dir/run" && setsid "$vexlo" </dev/null))
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

# The raw image scanned as plain bytes and as a disc image, alternating:
# median wall times and the peak RSS (getrusage of the finished run).
measure() {
  python3 -c 'import resource, subprocess, sys, time
t = time.perf_counter()
subprocess.run(sys.argv[1:], stdin=subprocess.DEVNULL,
               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
w = (time.perf_counter() - t) * 1000
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.1f %d" % (w, r.ru_maxrss))' "$@"
}
if want disc; then
  file=$dir/disc.bin
  cat "$file" >/dev/null
  for key in 0 1; do : >"$dir/disc$key"; done
  for ((i = 0; i <= runs; i++)); do
    for key in 0 1; do
      printf 'infile="%s"\ncdimage="%s"\nmaxtims="100"\n' "$file" "$key" \
        >"$dir/run/vexlo.cfg"
      r=$(cd "$dir/run" && measure setsid "$vexlo")
      if [ "$i" -gt 0 ]; then echo "$r" >>"$dir/disc$key"; fi
    done
  done
  col() { cut -d' ' -f"$2" "$dir/disc$1" | median; }
  awk -v pw="$(col 0 1)" -v dw="$(col 1 1)" \
      -v pr="$(cut -d' ' -f2 "$dir/disc0" | sort -g | tail -1)" \
      -v dr="$(cut -d' ' -f2 "$dir/disc1" | sort -g | tail -1)" \
      -v size="$(stat -c %s "$file")" 'BEGIN {
    printf "disc       cdimage off %6.1f ms  on %6.1f ms  ratio %5.2fx\n", pw, dw, dw / pw
    printf "           peak RSS off %.1f MiB, on %.1f MiB (file %.1f MiB, +%.1f)\n",
           pr / 1024, dr / 1024, size / 1048576, dr / 1024 - size / 1048576 }'
fi
