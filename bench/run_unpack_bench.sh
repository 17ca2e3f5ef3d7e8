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
command -v perf >/dev/null || { echo "needs perf (Debian package linux-perf)" >&2; exit 1; }
dir=$(mktemp -d /tmp/vexlo-unpack-bench.XXXXXX)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/run"

median() { sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# One timed run of vexlo on FILE with the extra keys EXTRA; prints the wall
# time and the processor time of all its threads (perf's task-clock), in ms.
run() {
  printf 'infile="%s"\nnopause="1"\nmaxtims="1000000"\n%b' "$1" "$2" \
    >"$dir/run/vexlo.cfg"
  local t0 t1
  t0=$(date +%s%N)
  (cd "$dir/run" && perf stat -x, -e task-clock -o "$dir/stat" "$vexlo" \
    >/dev/null)
  t1=$(date +%s%N)
  echo "$(((t1 - t0) / 1000000)) $(grep task-clock "$dir/stat" | cut -d, -f1)"
}

bench() {
  local name=$1 file=$2 keys=$3 i
  : >"$dir/off"
  : >"$dir/on"
  for i in 1 2 3; do cat "$file" >/dev/null; done
  for ((i = 0; i < runs; i++)); do
    run "$file" "$keys" >>"$dir/off"
    run "$file" "${keys}unpack=\"1\"\n" >>"$dir/on"
  done
  local wo wu co cu
  wo=$(cut -d' ' -f1 "$dir/off" | median)
  wu=$(cut -d' ' -f1 "$dir/on" | median)
  co=$(cut -d' ' -f2 "$dir/off" | median | awk '{ printf "%.0f", $1 }')
  cu=$(cut -d' ' -f2 "$dir/on" | median | awk '{ printf "%.0f", $1 }')
  printf '%-22s wall: off %5s ms, on %5s ms (%s)   cpu: off %5s ms, on %5s ms (%s)\n' \
    "$name" "$wo" "$wu" "$(awk -v a="$wo" -v b="$wu" 'BEGIN { printf "%.2fx", b / a }')" \
    "$co" "$cu" "$(awk -v a="$co" -v b="$cu" 'BEGIN { printf "%.2fx", b / a }')"
}

echo "runs: $runs alternating runs per input, medians; load: $(cut -d' ' -f1-3 /proc/loadavg)"
"$gen" random $((512 << 20)) "$dir/random.bin" >/dev/null
bench "512 MiB random bytes" "$dir/random.bin" ""
rm -f "$dir/random.bin"
"$gen" disc 700000000 "$dir/disc.bin" >/dev/null
bench "700 MB raw CD image" "$dir/disc.bin" 'cdimage="1"\n'
