#!/bin/bash
# Reinsertion benchmark: 100 edited textures put back into a 700 MB raw CD
# image in the page cache, against cp of that image to the same folder.
#   bench/run_reinsert_bench.sh BUILD_DIR [RUNS]
# BUILD_DIR is a build configured with -DVEXLO_BENCH=ON (for the input
# generator). The image and outputs go to DIR (default a new folder under
# /tmp, removed at the end). Prints the best of RUNS wall times of each and
# vexlo's peak resident memory beside the image's size.
set -euo pipefail
if [ -z "${VEXLO_BENCH_DETACHED:-}" ]; then
  VEXLO_BENCH_DETACHED=1 exec setsid --wait bash "$0" "$@"
fi
build=$(readlink -f "${1:?usage: $0 BUILD_DIR [RUNS]}")
runs=${2:-5}
dir=${DIR:-$(mktemp -d /tmp/vexlo-reinsert.XXXXXX)}
trap '[ -n "${KEEP:-}" ] || rm -rf "$dir"' EXIT
cd "$dir"
"$build/bench/vexlo_bench_input" disc100 700000000 game.bin
printf 'infile="game.bin" outname="x" writetim="1" writeindex="1" cdimage="1" maxtims="1000"' >vexlo.cfg
"$build/vexlo" </dev/null >/dev/null || true  # the key wait gives 255
# Every copy's last byte (a pixel) becomes 0x5A.
for t in x*.tim; do
  printf '\x5a' | dd of="$t" bs=1 seek=$(($(stat -c %s "$t") - 1)) conv=notrunc status=none
done
printf 'reinsert="xindex.csv" outname="y"' >vexlo.cfg
cat game.bin >/dev/null
best() { sort -n | head -1; }
t_cp=$(for i in $(seq "$runs"); do rm -f c.bin; sync
  /usr/bin/time -f %e cp game.bin c.bin 2>&1 >/dev/null; done | best)
t_vx=$(for i in $(seq "$runs"); do rm -f ygame.bin ygame.bin.ppf; sync
  /usr/bin/time -f %e "$build/vexlo" </dev/null 2>&1 >/dev/null || true
  done | grep -v status | best)
rss=$( { /usr/bin/time -f %M "$build/vexlo" </dev/null >/dev/null || true; } 2>&1 |
  grep -v status)
{ "$build/vexlo" </dev/null || true; } | tail -2
echo "cp: ${t_cp} s   reinsert: ${t_vx} s   ratio: $(echo "scale=2; $t_vx / $t_cp" | bc)"
echo "vexlo peak RSS: $((rss / 1024)) MiB (image: $(( $(stat -c %s game.bin) >> 20 )) MiB)"
