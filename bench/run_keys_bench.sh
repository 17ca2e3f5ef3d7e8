#!/bin/bash
# Whole-process cost of looseflags and strict: the plain scan and the scan
# with each key setting, run in turn on the same inputs so that a busy machine
# disturbs all four alike.
#   bench/run_keys_bench.sh BUILD_DIR [RUNS]
# BUILD_DIR is a build configured with -DVEXLO_BENCH=ON. INPUTS picks the
# input kinds of bench/make_input.cpp (default: random ten_word all_ten zero
# near_miss, 64 MiB each). Inputs go to BENCH_DIR (default
# /tmp/vexlo-keys-bench) and are removed at the end.
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [RUNS]}
runs=${2:-21}
vexlo=$(readlink -f "$build/vexlo")
gen=$build/bench/vexlo_bench_input
dir=${BENCH_DIR:-/tmp/vexlo-keys-bench}
[ -x "$gen" ] || { echo "no $gen: configure with -DVEXLO_BENCH=ON" >&2; exit 1; }
mkdir -p "$dir"
trap 'rm -rf "$dir"' EXIT

names=(plain looseflags strict both)
keys=('' 'looseflags="1"' 'strict="1"' 'looseflags="1" strict="1"')
echo "runs: $runs per setting, in turn; min and median of the whole process"
for kind in ${INPUTS:-random ten_word all_ten zero near_miss}; do
  "$gen" "$kind" $((64 << 20)) "$dir/$kind.bin"
  cat "$dir/$kind.bin" >/dev/null  # into the page cache
  declare -A times=()
  for i in "${!names[@]}"; do
    mkdir -p "$dir/${names[$i]}"
    printf 'infile="../%s.bin" %s' "$kind" "${keys[$i]}" >"$dir/${names[$i]}/vexlo.cfg"
  done
  for ((r = 0; r < runs; r++)); do
    for n in "${names[@]}"; do
      t0=$EPOCHREALTIME
      (cd "$dir/$n" && setsid "$vexlo" </dev/null >/dev/null 2>&1) || true
      t1=$EPOCHREALTIME
      times[$n]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) * 1000 }') "
    done
  done
  for n in "${names[@]}"; do
    printf '%s\n' ${times[$n]} | sort -g | awk -v k="$kind" -v n="$n" \
      '{ a[NR] = $1 } END { printf "%-10s %-10s min %7.2f ms  median %7.2f ms\n", k, n, a[1], a[int((NR + 1) / 2)] }'
  done
  rm -f "$dir/$kind.bin"
done
