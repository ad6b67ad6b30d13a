#!/bin/sh
# Runs term_smoke_app in a tmux pane with a job-control shell and checks that it takes over the
# terminal (alternate screen, hidden cursor), reads keys, survives Ctrl+Z and fg with a repaint,
# and on "q" and on SIGTERM leaves the terminal exactly as it found it (stty, cursor, main screen).
set -eu
APP=$1
WORK=$(mktemp -d)
SOCK="kvterm-$$"
T="tmux -L $SOCK -f /dev/null"
cleanup() { $T kill-server 2>/dev/null || true; rm -rf "$WORK"; }
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  echo "--- pane:" >&2
  $T capture-pane -p -t t >&2 || true
  exit 1
}
# wait_for TEXT: until the pane shows TEXT (10 s at most).
wait_for() {
  i=0
  while ! $T capture-pane -p -t t | grep -qF -- "$1"; do
    i=$((i + 1))
    [ $i -lt 200 ] || fail "pane never showed '$1'"
    sleep 0.05
  done
}
flag() { $T display -p -t t "#{$1}"; }
run() { $T send-keys -t t "$1" Enter; }
# shell CMD: runs CMD in the pane's shell and waits until it finished. The marker it waits for is
# computed by the shell, so the typed command line itself does not match.
N=0
shell() {
  N=$((N + 1))
  run "$1; echo M\$((1000 + $N))"
  wait_for "M$((1000 + N))"
}

$T new-session -d -s t -x 80 -y 24 "env PS1='$ ' bash --norc --noprofile -i"
wait_for '$'
shell "stty -a > $WORK/before"

# Start: alternate screen, cursor hidden, content drawn.
run "$APP"
wait_for "Hello 界 smoke"
[ "$(flag alternate_on)" = 1 ] || fail "not on the alternate screen"
[ "$(flag cursor_flag)" = 0 ] || fail "cursor visible while the UI runs"
wait_for "size: 80x24"

# Keys arrive as events, not echoed by the terminal.
$T send-keys -t t x
wait_for "last: key(x 'x')"
$T send-keys -t t PageDown
wait_for "last: key(pagedown)"

# Resize.
$T resize-window -t t -x 100 -y 30
wait_for "size: 100x30"
$T resize-window -t t -x 80 -y 24
wait_for "size: 80x24"

# Ctrl+Z: the shell gets the terminal back as it was; fg repaints.
$T send-keys -t t C-z
wait_for "Stopped"
[ "$(flag alternate_on)" = 0 ] || fail "alternate screen left on during suspend"
[ "$(flag cursor_flag)" = 1 ] || fail "cursor hidden during suspend"
shell "stty -a > $WORK/during"
diff "$WORK/before" "$WORK/during" || fail "terminal settings differ while suspended"
run "fg"
wait_for "redraws: 1"
[ "$(flag alternate_on)" = 1 ] || fail "alternate screen not back after fg"

# Quit with q.
$T send-keys -t t q
wait_for "smoke app done"
[ "$(flag alternate_on)" = 0 ] || fail "alternate screen still on after quit"
[ "$(flag cursor_flag)" = 1 ] || fail "cursor hidden after quit"
shell "stty -a > $WORK/after"
diff "$WORK/before" "$WORK/after" || fail "terminal settings differ after quit"

# SIGTERM from outside: restored as well.
shell "clear"
run "$APP"
wait_for "Hello 界 smoke"
SHELL_PID=$(flag pane_pid)
APP_PID=$(pgrep -P "$SHELL_PID" -n)
kill -TERM "$APP_PID"
wait_for '$'
i=0
while [ "$(flag alternate_on)" != 0 ]; do
  i=$((i + 1)); [ $i -lt 100 ] || fail "alternate screen still on after SIGTERM"; sleep 0.05
done
[ "$(flag cursor_flag)" = 1 ] || fail "cursor hidden after SIGTERM"
shell "stty -a > $WORK/term"
diff "$WORK/before" "$WORK/term" || fail "terminal settings differ after SIGTERM"

# Every other signal that ends the process by default: the terminal is given back before it dies.
shell "ulimit -c 0"
for SIG in QUIT USR1 USR2 ALRM XCPU XFSZ VTALRM PROF SYS BUS FPE ILL TRAP; do
  shell "clear"
  run "$APP"
  wait_for "Hello 界 smoke"
  [ "$(flag mouse_any_flag)" = 1 ] || fail "mouse reporting off while the UI runs"
  APP_PID=$(pgrep -P "$SHELL_PID" -n)
  kill -"$SIG" "$APP_PID"
  i=0
  while kill -0 "$APP_PID" 2>/dev/null; do
    i=$((i + 1)); [ $i -lt 100 ] || fail "SIG$SIG did not end the program"; sleep 0.05
  done
  shell "stty -a > $WORK/sig"
  [ "$(flag alternate_on)" = 0 ] || fail "alternate screen still on after SIG$SIG"
  [ "$(flag cursor_flag)" = 1 ] || fail "cursor hidden after SIG$SIG"
  [ "$(flag mouse_any_flag)" = 0 ] || fail "mouse reporting still on after SIG$SIG"
  diff "$WORK/before" "$WORK/sig" || fail "terminal settings differ after SIG$SIG"
done
echo "tmux smoke test passed"
