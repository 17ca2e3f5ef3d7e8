#!/usr/bin/env bash
# Keeps the arrows between the source rooms pointing one way, top to ground:
# a file may include from its own room or a lower one, never from a room
# above it or a different room at its own level. Every include counts: with
# quotes or angle brackets, indented, with or without spaces after the #,
# through ../ paths, from any source file (.h .hpp .cpp .cc ...) in any
# subfolder of a room. tests/ sits above every room, and fuzz/ and bench/
# above it (they build their inputs with the tests' builders).
#   check_rooms.sh SOURCE_DIR
set -euo pipefail
root=$(realpath "${1:-$(dirname "$0")/..}")
cd "$root"

declare -A level=(
  [fuzz]=9 [bench]=9 [tests]=8
  [driver]=7 [scan]=6 [reinsert]=6 [extract]=5 [convert]=4 [catalogue]=4
  [packed]=2 [tim]=2 [disc]=2 [settings]=1 [platform]=1)

include_re='^[[:space:]]*#[[:space:]]*include[[:space:]]*([<"])([^">]*)[">]'

status=0
fail() {
  echo "$1"
  status=1
}

# The room a file of the tree lives in: the first part of its path.
room_of() { echo "${1%%/*}"; }

for room in "${!level[@]}"; do
  [[ -d $room ]] || continue
  while IFS= read -r -d '' file; do
    n=0
    while IFS= read -r text || [[ -n $text ]]; do
      n=$((n + 1))
      [[ $text =~ $include_re ]] || continue
      delim=${BASH_REMATCH[1]}
      name=${BASH_REMATCH[2]}
      # Quotes look beside the including file first, then from the top of
      # the tree; brackets only from the top (or the system).
      resolved=
      if [[ $delim == '"' && -e $(dirname "$file")/$name ]]; then
        resolved=$(realpath -m --relative-to=. "$(dirname "$file")/$name")
      elif [[ $name == ../* || $name == ./* ]]; then
        resolved=$(realpath -m --relative-to=. "$(dirname "$file")/$name")
      elif [[ $name == */* ]]; then
        resolved=$(realpath -m --relative-to=. "$name")
      else
        continue  # a header of the system or of a library
      fi
      if [[ $resolved == ../* ]]; then
        fail "$file:$n: includes from outside the tree ($text)"
        continue
      fi
      target=$(room_of "$resolved")
      if [[ -z ${level[$target]:-} ]]; then
        # <zlib.h>-like names with a folder belong to the system; a quoted
        # one must be ours.
        [[ $delim == '<' ]] && continue
        fail "$file:$n: includes from unknown room '$target' ($text)"
      elif [[ $target != "$room" ]] && ((level[$target] >= level[$room])); then
        fail "$file:$n: $room/ may not include $target/ ($text)"
      fi
    done <"$file"
  done < <(find "$room" -type f \( -name '*.h' -o -name '*.hh' -o \
    -name '*.hpp' -o -name '*.hxx' -o -name '*.inc' -o -name '*.ipp' -o \
    -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.cxx' \) -print0)
done
((status == 0)) && echo "Rooms: every include points down."
exit $status
