#!/bin/sh
# `kestravel replay` on a real terminal (tmux, job-control shell) gives the terminal back
# on every signal that ends it: the status block is erased and the cursor is shown. Ctrl+Z erases
# the block before the stop and `fg` brings it back. Prints how many signal cases it tried.
set -eu
BIN=$1
WORK=$(mktemp -d)
SOCK="kvreplay-$$"
T="tmux -L $SOCK -f /dev/null"
cleanup() { $T kill-server 2>/dev/null || true; rm -rf "$WORK"; }
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  echo "--- pane:" >&2
  $T capture-pane -p -t t >&2 || true
  exit 1
}
pane() { $T capture-pane -p -t t; }
# wait_for TEXT / wait_gone TEXT: until the pane shows (no longer shows) TEXT, 10 s at most.
wait_for() {
  i=0
  while ! pane | grep -qF -- "$1"; do
    i=$((i + 1)); [ $i -lt 200 ] || fail "pane never showed '$1'"; sleep 0.05
  done
}
wait_gone() {
  i=0
  while pane | grep -qF -- "$1"; do
    i=$((i + 1)); [ $i -lt 200 ] || fail "pane still shows '$1'"; sleep 0.05
  done
}
cursor() { $T display -p -t t "#{cursor_flag}"; }
N=0
# shell CMD: runs CMD and waits until it finished (the marker is computed by the shell).
shell() {
  N=$((N + 1))
  $T send-keys -t t "$1; echo M\$((1000 + $N))" Enter
  wait_for "M$((1000 + N))"
}
RULE="────────────────────"

cat > "$WORK/turn.jsonl" <<'SCRIPT'
{"call":"start_thinking"}
{"call":"stream","chunk":"an answer line"}
{"call":"log_tool","name":"bash","args":"make"}
{"sleep":60}
{"call":"done"}
SCRIPT

$T new-session -d -s t -x 80 -y 30 "env PS1='$ ' bash --norc --noprofile -i"
wait_for '$'
shell "ulimit -c 0; clear"

# start: runs the replay in the foreground and waits for its status block.
start() {
  shell "clear"
  $T send-keys -t t "$BIN replay $WORK/turn.jsonl" Enter
  wait_for "$RULE"
  [ "$(cursor)" = 0 ] || fail "cursor shown while the block is drawn"
}
# check NAME: the replay ended, the block is gone and the cursor is back. The program is waited
# for first (a shell aborts "cmd; echo" when cmd dies of SIGINT, so no marker after it would do),
# then a marker command makes sure tmux has drawn everything the program wrote.
check() {
  i=0
  while pgrep -f "kestravel replay $WORK/turn.jsonl" >/dev/null; do
    i=$((i + 1)); [ $i -lt 200 ] || fail "$1: the replay did not end"; sleep 0.05
  done
  shell "true"
  pane | grep -qF -- "$RULE" && fail "$1: status block left on screen"
  pane | grep -qF "an answer line" || fail "$1: answer text lost"
  [ "$(cursor)" = 1 ] || fail "$1: cursor left hidden"
  TRIED=$((TRIED + 1))
}
TRIED=0

# From the keyboard.
start; $T send-keys -t t C-c; check SIGINT
start; $T send-keys -t t 'C-\'; check SIGQUIT

# From kill, for every signal whose default action ends the process.
for sig in TERM HUP QUIT SEGV ABRT BUS FPE ILL TRAP SYS USR1 USR2 ALRM XCPU XFSZ VTALRM PROF; do
  start
  pkill -"$sig" -f "kestravel replay $WORK/turn.jsonl" || fail "no process for SIG$sig"
  check "SIG$sig"
done

# Ctrl+Z: erased before the stop, the prompt is not inside a block; fg draws it again.
start
$T send-keys -t t C-z
wait_for "Stopped"
wait_gone "$RULE"
[ "$(cursor)" = 1 ] || fail "Ctrl+Z: cursor left hidden"
$T send-keys -t t "fg" Enter
wait_for "$RULE"
[ "$(cursor)" = 0 ] || fail "fg: block drawn but cursor shown"
$T send-keys -t t C-c
check "Ctrl+Z and fg"

echo "signal cases tried and restored: $TRIED"
