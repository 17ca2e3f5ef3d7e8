#!/bin/bash
# CHD reinsertion benchmark, run by hand: a 700 MB raw image holding 100
# TIMs (bench input cd_mix100, whose data compresses to about half) made into
# a CHD by chdman createcd with its default codecs; its TIMs written, each
# edited in one pixel; then, with the CHD in the page cache, alternating runs
# of
#   vexlo scanning the CHD with cdimage on (the yardstick), and
#   vexlo reinserting the 100 edits (decoding the BIN, writing the patched
#     BIN, its cue sheet and the patch beside it).
#   bench/run_chd_reinsert_bench.sh BUILD_DIR [RUNS]
# BUILD_DIR is a build configured with -DVEXLO_BENCH=ON. Inputs and outputs
# go to /dev/shm/vexlo-chd-reinsert.XXXXXX (KEEP=1 keeps them; DIR=...
# reuses them). SIZE=bytes sets another size for the raw image. Prints the
# median wall time, CPU time (user + system) and peak RSS of each, and the
# ratio of the medians.
set -euo pipefail
if [ -z "${VEXLO_BENCH_DETACHED:-}" ]; then
  VEXLO_BENCH_DETACHED=1 exec setsid --wait bash "$0" "$@"
fi
build=$(readlink -f "${1:?usage: $0 BUILD_DIR [RUNS]}")
runs=${2:-5}
dir=${DIR:-$(mktemp -d /dev/shm/vexlo-chd-reinsert.XXXXXX)}
[ "${KEEP:-0}" = 1 ] || [ -n "${DIR:-}" ] || trap 'rm -rf "$dir"' EXIT
cd "$dir"
if [ ! -f game.chd ]; then
  "$build/bench/vexlo_bench_input" cd_mix100 "${SIZE:-700000000}" game.bin
  printf 'FILE "game.bin" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n' >game.cue
  chdman createcd -i game.cue -o game.chd >/dev/null 2>&1
  rm -f game.bin game.cue
fi
mkdir -p scan
printf 'infile="../game.chd" cdimage="1" maxtims="1000"' >scan/vexlo.cfg
rm -f x*.tim xindex.*
printf 'infile="game.chd" outname="x" writetim="1" writeindex="1" cdimage="1" maxtims="1000"' >vexlo.cfg
"$build/vexlo" </dev/null >/dev/null || true  # the key wait gives 255
# Every copy's last byte (a pixel) becomes 0x5A.
for t in x*.tim; do
  printf '\x5a' | dd of="$t" bs=1 seek=$(($(stat -c %s "$t") - 1)) conv=notrunc status=none
done
printf 'reinsert="xindex.csv" outname="y"' >vexlo.cfg
cat game.chd >/dev/null

declare -A times rss cpu
measure() {  # name command...
  local name=$1
  shift
  /usr/bin/time -f '%e %M %U %S' -o "$dir/t.txt" "$@" >/dev/null 2>&1 </dev/null || true
  read -r t m u s < <(tail -n 1 "$dir/t.txt")
  times[$name]+="$t "
  rss[$name]+="$m "
  cpu[$name]+="$(echo "$u + $s" | bc) "
}
for ((i = 0; i < runs; i++)); do
  cd "$dir/scan" && measure scan "$build/vexlo"
  cd "$dir" && rm -f ygame.* && measure reinsert "$build/vexlo"
done
rm -f ygame.*
{ "$build/vexlo" </dev/null || true; } | tail -2
median() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
for name in scan reinsert; do
  echo "$name: $(echo "${times[$name]}" | median) s, CPU $(echo "${cpu[$name]}" | median) s, peak RSS $(echo "${rss[$name]}" | median) KiB"
done
echo "ratio reinsert / scan: $(echo "scale=2; $(echo "${times[reinsert]}" | median) / $(echo "${times[scan]}" | median)" | bc)"
