#!/bin/bash
# Costs of naming disc files and spotting repeats, run by hand:
#   bench/run_disc_files_bench.sh BUILD_DIR [RUNS]
# BUILD_DIR is a build configured with -DVEXLO_BENCH=ON. Needs genisoimage.
# - A 700 MB ISO of 3,500 files in 70 nested folders (sparse files, so it is
#   made quickly), and the same in raw Mode 2 Form 1 sectors: the file system
#   read in process, and whole runs of the raw image with and without
#   writeindex, and the same for a copy whose volume descriptor is wiped.
# - The dense input of run_bench.sh (20,000 TIMs): whole runs writing every
#   TIM with the catalogue on, against the in-process time of hashing them all.
set -euo pipefail
if [ -z "${VEXLO_BENCH_DETACHED:-}" ]; then
  VEXLO_BENCH_DETACHED=1 exec setsid --wait bash "$0" "$@"
fi
build=$(readlink -f "${1:?usage: $0 BUILD_DIR [RUNS]}")
runs=${2:-11}
vexlo=$build/vexlo
bench=$build/bench/vexlo_disc_files_bench
gen=$build/bench/vexlo_bench_input
dir=$(mktemp -d /tmp/vexlo-discfiles.XXXXXX)
out=/dev/shm/vexlo-discfiles-out.$$
trap 'rm -rf "$dir" "$out"' EXIT

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
for d in $(seq 1 10); do
  for s in $(seq 1 7); do
    mkdir -p "$dir/tree/D$d/S$s"
    for f in $(seq 1 50); do truncate -s 200000 "$dir/tree/D$d/S$s/F$f.BIN"; done
  done
done
genisoimage -quiet -o "$dir/disc.iso" "$dir/tree"
rm -rf "$dir/tree"
"$bench" raw "$dir/disc.iso" "$dir/disc.bin"
# The copy without a file system: sector 16's "CD001" zeroed.
cp "$dir/disc.bin" "$dir/nofs.bin"
printf '\0\0\0\0\0\0' | dd of="$dir/nofs.bin" bs=1 seek=$((16 * 2352 + 24)) conv=notrunc status=none
ls -l "$dir/disc.iso" "$dir/disc.bin" | awk '{ print $5, $9 }'
"$bench" fs "$dir/disc.iso"
"$bench" fs "$dir/disc.bin"

timed() {
  local t0=$EPOCHREALTIME
  "$@" </dev/null >/dev/null 2>&1 || true
  echo "$t0 $EPOCHREALTIME" | awk '{ printf "%.3f\n", ($2 - $1) * 1000 }'
}
median() { sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# ab NAME CFG_A CFG_B: alternating runs, medians and the difference.
ab() {
  local a=() b=() i
  mkdir -p "$dir/a" "$dir/b"
  printf '%b' "$2" >"$dir/a/vexlo.cfg"
  printf '%b' "$3" >"$dir/b/vexlo.cfg"
  for ((i = 0; i <= runs; i++)); do
    rm -rf "$out"; mkdir -p "$out"
    local ra rb
    ra=$(cd "$dir/a" && timed "$vexlo")
    rm -rf "$out"; mkdir -p "$out"
    rb=$(cd "$dir/b" && timed "$vexlo")
    [ "$i" -gt 0 ] && a+=("$ra") && b+=("$rb")
  done
  local ma mb
  ma=$(printf '%s\n' "${a[@]}" | median)
  mb=$(printf '%s\n' "${b[@]}" | median)
  awk -v n="$1" -v a="$ma" -v b="$mb" 'BEGIN {
    printf "%-22s with %8.1f ms  without %8.1f ms  difference %+6.1f ms\n", n, a, b, a - b }'
}
# Each image with and without writeindex (which reads the file system): the
# two files may sit differently in the page cache, so each is only compared
# with itself; the catalogue's own cost is the copy's difference.
cat "$dir/disc.bin" "$dir/nofs.bin" >/dev/null
for f in disc nofs; do
  keys="infile=\"$dir/$f.bin\"\noutname=\"$out/t\"\ncdimage=\"1\"\nwritebmp=\"0\"\n"
  ab "700 MB raw, $f" "${keys}writeindex=\"1\"\n" "$keys"
done
rm -f "$dir/disc.bin" "$dir/nofs.bin" "$dir/disc.iso"

"$gen" dense $((64 << 20)) "$dir/dense.bin"
mkdir -p "$dir/d"
printf 'infile="%s"\noutname="%s/t"\nmaxtims="1000000"\nwritetim="1"\nwritebmp="0"\nwriteindex="1"\n' \
  "$dir/dense.bin" "$out" >"$dir/d/vexlo.cfg"
times=()
for ((i = 0; i <= runs; i++)); do
  rm -rf "$out"; mkdir -p "$out"
  r=$(cd "$dir/d" && timed "$vexlo")
  [ "$i" -gt 0 ] && times+=("$r")
done
run_ms=$(printf '%s\n' "${times[@]}" | median)
hash_line=$("$bench" hash "$dir/dense.bin")
hash_ms=$(sed -n 's/.* in \([0-9.]*\) ms$/\1/p' <<<"$hash_line")
echo "$hash_line"
awk -v r="$run_ms" -v h="$hash_ms" 'BEGIN {
  printf "dense run (writetim, writeindex) %.1f ms; hashing %.2f ms = %.2f%% of it\n", r, h, 100 * h / r }'
