#!/usr/bin/env bash
# The arrow check fails on every kind of include that points up or
# sideways, however it is written, and passes a tree whose includes all
# point down.
#   check_rooms_test.sh SOURCE_DIR
set -uo pipefail
check=$(realpath "${1:-$(dirname "$0")/..}")/tests/check_rooms.sh
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Each case: "file|line|expected (pass or fail)".
cases=(
  'extract/a.cpp|#include "tim/tim.h"|pass'
  'extract/a.cpp|#include <sys/stat.h>|pass'
  'extract/a.cpp|#include "a.h"|pass'
  'tests/a.cpp|#include "driver/run.h"|pass'
  'bench/a.cpp|#include "tests/tim_builder.h"|pass'
  'extract/a.cpp|#include "scan/x.h"|fail'
  'extract/a.cpp|#include <scan/x.h>|fail'
  'extract/a.cpp|   #include "scan/x.h"|fail'
  'extract/a.cpp|#include"scan/x.h"|fail'
  'extract/a.cpp|#  include <scan/x.h>|fail'
  'extract/a.hpp|#include "scan/x.h"|fail'
  'extract/a.cc|#include "scan/x.h"|fail'
  'extract/sub/a.cpp|#include "scan/x.h"|fail'
  'extract/a.cpp|#include "../scan/x.h"|fail'
  'extract/sub/a.h|#include "../../scan/x.h"|fail'
  'extract/a.cpp|#include "../../outside.h"|fail'
  'platform/a.cpp|#include "driver/settings.h"|fail'
  'extract/a.cpp|#include "driver/settings.h"|fail'
  'scan/a.cpp|#include "reinsert/x.h"|fail'
  'platform/a.cpp|#include "tests/x.h"|fail'
  'tests/a.cpp|#include "fuzz/check.h"|fail'
  'fuzz/a.cpp|#include "bench/x.h"|fail'
  'bench/a.cpp|#include "nowhere/x.h"|fail'
)

status=0
for c in "${cases[@]}"; do
  IFS='|' read -r file line want <<<"$c"
  rm -rf "$tmp/tree"
  mkdir -p "$tmp/tree/$(dirname "$file")" "$tmp/tree/scan" "$tmp/tree/tim"
  printf '%s\n' "$line" >"$tmp/tree/$file"
  touch "$tmp/tree/$(dirname "$file")/a.h"
  if bash "$check" "$tmp/tree" >"$tmp/out" 2>&1; then got=pass; else got=fail; fi
  if [[ $got != "$want" ]]; then
    echo "$file: '$line' should $want the check:"
    cat "$tmp/out"
    status=1
  fi
done
((status == 0)) && echo "Every case of the arrow check holds."
exit $status
