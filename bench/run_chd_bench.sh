#!/bin/bash
# CHD benchmark, run by hand: a 700 MB raw image (bench input cd_mix, whose
# data compresses to about half) made into a CHD by chdman createcd with its
# default codecs (cdlz, cdzl, cdfl), then, with the CHD in the page cache,
# alternating runs of
#   chdman extractcd of the CHD to /dev/shm,
#   the decode floor (bench/chd_floor.cpp: every hunk decoded on all cores,
#     nothing else),
#   vexlo with cdimage on, and for reference vexlo on the extracted BIN.
#   bench/run_chd_bench.sh BUILD_DIR [RUNS]
# BUILD_DIR is a build configured with -DVEXLO_BENCH=ON. Inputs go to
# /dev/shm/vexlo-chd-bench.XXXXXX (KEEP=1 keeps them; DIR=... reuses them).
# SIZE=bytes sets another size for the raw image. Prints the median wall
# time, CPU time (user + system) and peak RSS of each.
set -euo pipefail
if [ -z "${VEXLO_BENCH_DETACHED:-}" ]; then
  VEXLO_BENCH_DETACHED=1 exec setsid --wait bash "$0" "$@"
fi
build=$(readlink -f "${1:?usage: $0 BUILD_DIR [RUNS]}")
runs=${2:-5}
dir=${DIR:-$(mktemp -d /dev/shm/vexlo-chd-bench.XXXXXX)}
[ "${KEEP:-0}" = 1 ] || [ -n "${DIR:-}" ] || trap 'rm -rf "$dir"' EXIT
cd "$dir"
if [ ! -f disc.chd ]; then
  "$build/bench/vexlo_bench_input" cd_mix "${SIZE:-700000000}" disc.bin
  printf 'FILE "disc.bin" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n' >disc.cue
  chdman createcd -i disc.cue -o disc.chd >/dev/null 2>&1
  rm -f disc.bin
fi
chdman extractcd -f -i disc.chd -o x.cue -ob x.bin >/dev/null 2>&1
ls -l disc.chd x.bin
mkdir -p chd bin
printf 'infile="../disc.chd" cdimage="1" maxtims="100"' >chd/vexlo.cfg
printf 'infile="../x.bin" cdimage="1" maxtims="100"' >bin/vexlo.cfg
cat disc.chd x.bin >/dev/null

declare -A times rss
declare -A cpu
measure() {  # name command...
  local name=$1
  shift
  # vexlo ends with status 255 (no console for its key wait).
  /usr/bin/time -f '%e %M %U %S' -o "$dir/t.txt" "$@" >/dev/null 2>&1 </dev/null || true
  read -r t m u s < <(tail -n 1 "$dir/t.txt")
  times[$name]+="$t "
  rss[$name]+="$m "
  cpu[$name]+="$(echo "$u + $s" | bc) "
}
for ((i = 0; i < runs; i++)); do
  measure extractcd chdman extractcd -f -i disc.chd -o y.cue -ob y.bin
  rm -f y.bin
  measure floor "$build/bench/vexlo_chd_floor" disc.chd
  cd "$dir/chd" && measure vexlo_chd "$build/vexlo"
  cd "$dir/bin" && measure vexlo_bin "$build/vexlo"
  cd "$dir"
done
median() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
for name in extractcd floor vexlo_chd vexlo_bin; do
  echo "$name: $(echo "${times[$name]:-}" | median) s, CPU $(echo "${cpu[$name]:-}" | median) s, peak RSS $(echo "${rss[$name]:-}" | median) KiB"
done
