#!/bin/bash
# PBP benchmark, run by hand: a 700 MB raw image (bench input cd_mix, whose
# data compresses to about half) packed into a PBP (blocks of 16 sectors,
# raw deflate), then, with the PBP in the page cache, alternating runs of
#   the inflating floor on all cores and on one (bench/pbp_floor.cpp: every
#     block inflated, nothing else),
#   vexlo with cdimage on, and for reference vexlo on the BIN itself.
#   bench/run_pbp_bench.sh BUILD_DIR [RUNS]
# BUILD_DIR is a build configured with -DVEXLO_BENCH=ON. Inputs go to
# /dev/shm/vexlo-pbp-bench.XXXXXX (KEEP=1 keeps them; DIR=... reuses them).
# SIZE=bytes sets another size for the raw image. Prints the median wall
# time, CPU time (user + system) and peak RSS of each.
set -euo pipefail
if [ -z "${VEXLO_BENCH_DETACHED:-}" ]; then
  VEXLO_BENCH_DETACHED=1 exec setsid --wait bash "$0" "$@"
fi
build=$(readlink -f "${1:?usage: $0 BUILD_DIR [RUNS]}")
runs=${2:-5}
dir=${DIR:-$(mktemp -d /dev/shm/vexlo-pbp-bench.XXXXXX)}
[ "${KEEP:-0}" = 1 ] || [ -n "${DIR:-}" ] || trap 'rm -rf "$dir"' EXIT
cd "$dir"
if [ ! -f disc.pbp ]; then
  "$build/bench/vexlo_bench_input" cd_mix "${SIZE:-700000000}" disc.bin
  "$build/bench/vexlo_bench_pack" pbp disc.bin disc.pbp
fi
ls -l disc.pbp disc.bin
mkdir -p pbp bin
printf 'infile="../disc.pbp" cdimage="1" maxtims="100"' >pbp/vexlo.cfg
printf 'infile="../disc.bin" cdimage="1" maxtims="100"' >bin/vexlo.cfg
cat disc.pbp disc.bin >/dev/null

declare -A times rss cpu
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
  measure floor "$build/bench/vexlo_pbp_floor" disc.pbp
  measure floor_1 "$build/bench/vexlo_pbp_floor" disc.pbp 1
  cd "$dir/pbp" && measure vexlo_pbp "$build/vexlo"
  cd "$dir/bin" && measure vexlo_bin "$build/vexlo"
  cd "$dir"
done
median() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
for name in floor floor_1 vexlo_pbp vexlo_bin; do
  echo "$name: $(echo "${times[$name]:-}" | median) s, CPU $(echo "${cpu[$name]:-}" | median) s, peak RSS $(echo "${rss[$name]:-}" | median) KiB, all: ${times[$name]:-}"
done
