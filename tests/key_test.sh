#!/usr/bin/env bash
# Presses real keys at the tool's final key wait, in a tmux terminal, and
# checks the exit status and that nothing of the key is left over for the
# shell.
# Usage: key_test.sh /path/to/vexlo            (the native build)
#        key_test.sh --wine /path/to/vexlo.exe (WINEPREFIX set, server up)
# Under Wine, Escape and Ctrl+C are not checked: Wine's terminal console does
# not pass them on as the characters 27 and 3.
set -u
runner=
if [ "${1:-}" = --wine ]; then
  runner="env WINEDEBUG=-all wine"
  shift
fi
bin=$(realpath "$1")
if ! command -v tmux >/dev/null 2>&1; then
  echo "SKIP: tmux is not installed; the key wait is not tested on a terminal"
  exit 77
fi
work=$(mktemp -d)
sock="$work/tmux.sock"
trap 'tmux -S "$sock" kill-server 2>/dev/null; rm -rf "$work"' EXIT
passed=0
failed=0

# press KEYS... : starts the tool in a fresh pane, waits until it sits at the
# key wait, sends the keys, and records the status and any leftover input.
press() {
  rm -f "$work/status" "$work/left" "$work/done" "$work/out"
  # --foreground: the tool must stay in the terminal's foreground group to
  # read keys from it. After it ends, whatever is still unread on the
  # terminal is collected for half a second: a leaked escape sequence would
  # show here.
  tmux -S "$sock" new-session -d -x 80 -y 24 -c "$work" \
    "timeout --foreground 30 $runner '$bin' > '$work/out' 2>/dev/null; \
     echo \$? > '$work/status'; \
     stty -icanon min 0 time 5; dd bs=64 count=1 of='$work/left' 2>/dev/null; \
     touch '$work/done'; sleep 1"
  for _ in $(seq 200); do
    grep -q 'A total of' "$work/out" 2>/dev/null && break
    sleep 0.1
  done
  # The console switches to its raw mode just after the total is printed.
  sleep 0.5
  tmux -S "$sock" send-keys "$@"
  for _ in $(seq 200); do
    [ -f "$work/done" ] && break
    sleep 0.1
  done
  tmux -S "$sock" kill-server 2>/dev/null
  sleep 0.2
}

check() {
  local name=$1 want=$2
  local got left
  got=$(cat "$work/status" 2>/dev/null || echo none)
  left=$(od -An -c "$work/left" 2>/dev/null | tr -s ' ')
  if [ "$got" = "$want" ] && [ -z "$left" ]; then
    echo "ok: $name gives $got"
    passed=$((passed + 1))
  else
    echo "FAIL: $name: status $got (want $want), left over: '$left'"
    failed=$((failed + 1))
  fi
}

press q; check "letter q" 113
press Q; check "capital Q (Shift is not a key of its own)" 81
press Enter; check "Enter" 13
press Up; check "up arrow" 224
press F5; check "F5" 224
if [ -z "$runner" ]; then
  press C-c; check "Ctrl+C" 3
  press Escape; check "Escape" 27
fi

# With nopause the run ends by itself, on a terminal too, and reads nothing.
printf 'nopause="1"' > "$work/vexlo.cfg"
press; check "no key with nopause" 0
rm -f "$work/vexlo.cfg"

echo "keys: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
