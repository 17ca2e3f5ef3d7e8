#!/usr/bin/env bash
# Keeps the arrows between the source rooms pointing one way, top to ground:
# a file may include from its own room or a lower one, never from a room
# above it or a different room at its own level. settings/settings.h, the
# record every room reads, is the one exception.
#   check_rooms.sh SOURCE_DIR
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

declare -A level=(
  [driver]=7 [scan]=6 [reinsert]=6 [extract]=5 [convert]=4 [catalogue]=4
  [tim]=2 [disc]=2 [settings]=2 [platform]=1)

status=0
for room in "${!level[@]}"; do
  [[ -d $room ]] || continue
  while IFS=: read -r file line text; do
    target=$(sed -E 's/.*#include "([^/]+)\/.*/\1/' <<<"$text")
    [[ $text == *'"settings/settings.h"'* ]] && continue
    [[ $target == "$room" ]] && continue
    if [[ -z ${level[$target]:-} ]]; then
      echo "$file:$line: includes from unknown room '$target'"
      status=1
    elif ((level[$target] >= level[$room])); then
      echo "$file:$line: $room/ may not include $target/ ($text)"
      status=1
    fi
  done < <(grep -Hn '^#include "[^"]*/' "$room"/*.h "$room"/*.cpp 2>/dev/null || true)
done
((status == 0)) && echo "Rooms: every include points down."
exit $status
