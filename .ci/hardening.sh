#!/usr/bin/env bash
# Hardening checks: each libFuzzer target for a bounded time, then the
# end-to-end suite with every run of the binary under valgrind. Fails on any
# finding. Run from anywhere; builds in build-fuzz/ and build-valgrind/.
#   VEXLO_FUZZ_SECONDS  time per fuzz target (default 60)
set -euo pipefail

cd "$(dirname "$0")/.."
root=$PWD
seconds=${VEXLO_FUZZ_SECONDS:-60}

# --- Tools -----------------------------------------------------------------
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq clang cmake g++ libgtest-dev valgrind zlib1g-dev pngcheck \
  libxxhash-dev imagemagick liblzma-dev libzstd-dev libflac-dev pkg-config mame-tools >/dev/null
# libFuzzer and the sanitizer runtimes must match the installed clang.
clang_major=$(clang++ -dumpversion | cut -d. -f1)
apt-get install -y -qq "libclang-rt-${clang_major}-dev" >/dev/null

# --- Fuzzing ---------------------------------------------------------------
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DVEXLO_FUZZ=ON \
      -DVEXLO_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j2 --target vexlo_fuzzers

findings=$root/build-fuzz/findings
rm -rf "$findings" build-fuzz/corpus-work
mkdir -p "$findings"
for target in fuzz_config fuzz_tim fuzz_scan fuzz_wide_text fuzz_disc \
              fuzz_picture fuzz_catalogue fuzz_iso9660 fuzz_chd fuzz_ecm fuzz_pbp \
              fuzz_packed fuzz_repack; do
  work=build-fuzz/corpus-work/$target  # new units go here, not into the repo
  mkdir -p "$work"
  seeds=(fuzz/corpus/$target)
  [[ $target == fuzz_config || $target == fuzz_wide_text ||
     $target == fuzz_catalogue || $target == fuzz_chd ||
     $target == fuzz_ecm || $target == fuzz_pbp ]] ||
    seeds+=(tests/data/real)
  echo "== $target: ${seconds} s"
  # -max_len keeps the 900 KB sample from slowing every mutation; longer
  # seeds are cut, which makes them near-misses too. A single allocation
  # above the RSS limit counts as a finding.
  if ! build-fuzz/fuzz/$target -max_total_time="$seconds" -max_len=16384 \
         -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
         -artifact_prefix="$findings/$target-" "$work" "${seeds[@]}" \
         >"build-fuzz/$target.log" 2>&1; then
    tail -n 60 "build-fuzz/$target.log"
    echo "FAIL: $target found a problem; inputs in $findings" >&2
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|new_units_added)' \
       "build-fuzz/$target.log" || true
done
if compgen -G "$findings/*" >/dev/null; then
  ls -l "$findings"
  echo "FAIL: fuzzing left findings in $findings" >&2
  exit 1
fi

# --- Valgrind ----------------------------------------------------------------
# A plain build; the end-to-end suite runs the binary through a wrapper that
# logs valgrind's reports, and any report fails the check. The tests that
# impose a memory or file-size bound are left out: valgrind itself cannot run
# inside them.
cmake -S . -B build-valgrind -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-valgrind -j2 --target vexlo vexlo_e2e_tests
logs=$root/build-valgrind/valgrind-logs
rm -rf "$logs"
mkdir -p "$logs"
wrapper=$root/build-valgrind/vexlo-under-valgrind
cat >"$wrapper" <<WRAP
#!/bin/sh
exec valgrind -q --error-exitcode=99 --leak-check=full \
  --errors-for-leak-kinds=definite --log-file=$logs/%p.log \
  $root/build-valgrind/vexlo "\$@"
WRAP
chmod +x "$wrapper"
VEXLO_BINARY=$wrapper timeout 1800 build-valgrind/tests/vexlo_e2e_tests \
  --gtest_filter='-*MemoryBound*:*TooLarge*:*FailPartWay*' --gtest_brief=1
bad=0
for f in "$logs"/*.log; do
  if [[ -s $f ]]; then
    cat "$f"
    bad=1
  fi
done
runs=$(ls "$logs" | wc -l)
echo "valgrind: $runs runs of the binary"
if [[ $bad != 0 || $runs == 0 ]]; then
  echo "FAIL: valgrind reported errors" >&2
  exit 1
fi
echo "hardening: all checks passed"
