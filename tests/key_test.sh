#!/usr/bin/env bash
# Presses real keys at the tool's final key wait, in a tmux terminal, and
# checks the exit status and that nothing of the key leaks to the shell.
# Usage: key_test.sh /path/to/vexlo
set -u
bin=$(realpath "$1")
if ! command -v tmux >/dev/null 2>&1; then
  echo "SKIP: tmux is not installed; the key wait is not tested on a terminal"
  exit 77
fi
work=$(mktemp -d)
sock="$work/tmux.sock"
trap 'tmux -S "$sock" kill-server 2>/dev/null; rm -rf "$work"' EXIT
fails=0

# press NAME KEYS... : starts the tool in a fresh pane, waits until it sits
# at the key wait, sends the keys, and records status and leftover input.
press() {
  local name=$1
  shift
  rm -f "$work/status" "$work/left" "$work/ready"
  # After the tool ends, whatever is still unread on the terminal is
  # collected for half a second: a leaked escape sequence would show here.
  tmux -S "$sock" new-session -d -x 80 -y 24 -c "$work" \
    "timeout --foreground 20 '$bin' > '$work/out'; echo \$? > '$work/status'; \
     stty -icanon min 0 time 5; dd bs=64 count=1 of='$work/left' 2>/dev/null; \
     touch '$work/done'; sleep 1"
  for _ in $(seq 100); do
    grep -q 'A total of' "$work/out" 2>/dev/null && break
    sleep 0.1
  done
  sleep 0.3
  tmux -S "$sock" send-keys "$@"
  for _ in $(seq 100); do
    [ -f "$work/done" ] && break
    sleep 0.1
  done
  rm -f "$work/done"
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
  else
    echo "FAIL: $name: status $got (want $want), left over: '$left'"
    fails=$((fails + 1))
  fi
}

press letter q; check "letter q" 113
press ctrl-c C-c; check "Ctrl+C" 3
press up-arrow Up; check "up arrow" 224
press f5 F5; check "F5" 224
press enter Enter; check "Enter" 13
press escape Escape; check "Escape" 27

if [ "$fails" -ne 0 ]; then
  echo "$fails key test(s) failed"
  exit 1
fi
echo "all key tests passed"
