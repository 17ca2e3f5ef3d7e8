#!/usr/bin/env bash
# The status line on a real terminal, in tmux: drawn while a long scan runs,
# at most ten times a second, gone from the screen before every line of
# standard output and at the end; standard output the same byte for byte;
# nothing at all when standard error is not a terminal.
# Usage: progress_test.sh /path/to/vexlo
set -u
bin=$(realpath "$1")
if ! command -v tmux >/dev/null 2>&1; then
  echo "SKIP: tmux is not installed; the status line is not tested"
  exit 77
fi
if ! command -v python3 >/dev/null 2>&1; then
  echo "SKIP: python3 is not installed"
  exit 77
fi
work=$(mktemp -d)
sock="$work/tmux.sock"
trap 'tmux -S "$sock" kill-server 2>/dev/null; if [ -n "${KEEP:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi' EXIT
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

# 200 MB of 15-bit TIM headers, each with a height of 0 in the one that
# follows it, so that every 8 bytes the scan stops, recognition refuses, and
# nothing is printed: the scan takes a while. Ten real 4-bit TIMs among
# them are reported.
python3 - "$work/big.bin" <<'PY'
import struct, sys
junk = b'\x10\x00\x00\x00\x02\x00\x00\x00' * (1 << 20)
tim = (struct.pack('<II', 0x10, 8) + struct.pack('<IHHHH', 44, 0, 480, 16, 1)
       + bytes(range(32)) + struct.pack('<IHHHH', 12 + 256, 0, 0, 8, 16)
       + bytes(range(256)))
with open(sys.argv[1], 'wb') as f:
    for i in range(24):
        f.write(junk)
        if i < 10:
            f.write(tim + bytes([i]) * 5)
PY
printf 'infile="big.bin" maxtims="100" nopause="1"' > "$work/vexlo.cfg"
(cd "$work" && "$bin" > ref.txt 2> err.txt)
[ -s "$work/err.txt" ] && fail "standard error is not a terminal, yet got: $(head -c 200 "$work/err.txt")"
grep -q 'A total of 10 tim(s) found.' "$work/ref.txt" || fail "reference run: $(tail -2 "$work/ref.txt")"

# run NAME REDIRECT: the tool in a fresh 100-column pane, every byte the
# terminal gets logged; the screen and its history kept afterwards.
run() {
  local name=$1 redirect=$2
  rm -f "$work/done" "$work/log"
  tmux -S "$sock" new-session -d -x 100 -y 30 -c "$work" \
    "sleep 0.5; s=\$(date +%s.%N); '$bin' $redirect; \
     echo \"\$s \$(date +%s.%N)\" > times; touch done; sleep 30"
  tmux -S "$sock" pipe-pane -o "cat > '$work/log'"
  for _ in $(seq 600); do
    [ -f "$work/done" ] && break
    sleep 0.1
  done
  tmux -S "$sock" capture-pane -p -S -1000 > "$work/screen_$name"
  tmux -S "$sock" kill-server 2>/dev/null
  sleep 0.2
  local draws seconds
  draws=$(grep -ao $'\rScanning big.bin: [0-9.]* of [0-9.]* MB, [0-9]* TIMs' "$work/log" | wc -l)
  seconds=$(awk '{print $2 - $1}' "$work/times")
  if [ "$draws" -lt 1 ]; then
    fail "$name: no status line drawn in ${seconds}s"
  elif ! awk -v d="$draws" -v s="$seconds" 'BEGIN { exit !(d <= 10 * s + 1) }'; then
    fail "$name: $draws drawings in ${seconds}s"
  else
    echo "ok: $name: $draws drawings in ${seconds}s"
  fi
}

# Both streams on the terminal: the screen ends up holding exactly the
# reference output (trailing blanks aside).
run both ""
sed 's/ *$//' "$work/screen_both" | awk 'NF { last = NR } { line[NR] = $0 }
  END { for (i = 1; i <= last; ++i) print line[i] }' > "$work/shown"
if cmp -s "$work/shown" "$work/ref.txt"; then
  echo "ok: the screen holds standard output alone"
else
  fail "the screen differs from standard output:"
  diff "$work/ref.txt" "$work/shown" | head -20
fi

# Standard output to a file: the same bytes as without a terminal.
run redirected "> out.txt"
if cmp -s "$work/out.txt" "$work/ref.txt"; then
  echo "ok: standard output unchanged"
else
  fail "standard output changed with the status line on"
fi
if tail -c 200 "$work/log" | grep -aq 'Scanning'; then
  # The last drawing must be followed by its erasure.
  last=$(tail -c 200 "$work/log" | tr '\r' '\n' | tail -1)
  [ -n "$(echo "$last" | tr -d ' ')" ] && fail "the line is left at the end: '$last'"
fi
exit $failed
