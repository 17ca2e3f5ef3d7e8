#!/bin/bash
# The cost of unpack on a scan: the same inputs scanned with the key off and
# on, in alternating runs (a loaded machine disturbs both alike), medians.
#   bench/run_unpack_bench.sh BUILD_DIR [RUNS]
# BUILD_DIR is a build configured with -DVEXLO_BENCH=ON (for the input
# generator). Inputs: 512 MiB of random bytes, and a 700 MB raw CD image
# (scanned with cdimage on). Each is read with cat until settled in the page
# cache first. Inputs go to /tmp/vexlo-unpack-bench.XXXXXX, removed at the
# end.
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [RUNS]}
runs=${2:-9}
vexlo=$(readlink -f "$build/vexlo")
gen=$build/bench/vexlo_bench_input
[ -x "$gen" ] || { echo "no $gen: configure with -DVEXLO_BENCH=ON" >&2; exit 1; }
dir=$(mktemp -d /tmp/vexlo-unpack-bench.XXXXXX)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/run"

median() { sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
ms() { echo $((($2 - $1) / 1000)) | awk '{ printf "%.1f", $1 / 1000 }'; }

# One timed run of vexlo on FILE with the extra keys EXTRA; prints ms.
run() {
  printf 'infile="%s"\nnopause="1"\nmaxtims="1000000"\n%b' "$1" "$2" \
    >"$dir/run/vexlo.cfg"
  local t0 t1
  t0=$(date +%s%N)
  (cd "$dir/run" && "$vexlo" >/dev/null)
  t1=$(date +%s%N)
  ms "$t0" "$t1"
}

bench() {
  local name=$1 file=$2 keys=$3 off=() on=() i
  for i in 1 2 3; do cat "$file" >/dev/null; done
  for ((i = 0; i < runs; i++)); do
    off+=("$(run "$file" "$keys")")
    on+=("$(run "$file" "${keys}unpack=\"1\"\n")")
  done
  local mo mu
  mo=$(printf '%s\n' "${off[@]}" | median)
  mu=$(printf '%s\n' "${on[@]}" | median)
  printf '%-28s off %8s ms   on %8s ms   %s\n' "$name" "$mo" "$mu" \
    "$(awk -v a="$mo" -v b="$mu" 'BEGIN { printf "%.2fx", b / a }')"
}

echo "runs: $runs alternating runs per input, medians; load: $(cut -d' ' -f1-3 /proc/loadavg)"
"$gen" random $((512 << 20)) "$dir/random.bin" >/dev/null
bench "512 MiB random bytes" "$dir/random.bin" ""
rm -f "$dir/random.bin"
"$gen" disc 700000000 "$dir/disc.bin" >/dev/null
bench "700 MB raw CD image" "$dir/disc.bin" 'cdimage="1"\n'
