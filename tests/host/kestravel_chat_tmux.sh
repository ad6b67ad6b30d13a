#!/bin/sh
# The real program end to end inside tmux: mode screen, a demo turn with an approval, folding a
# thinking block by a click, copying a drag to the clipboard, quitting, and the terminal given
# back (also after SIGTERM and SIGHUP in the middle of a turn). Quitting in the middle of a turn
# leaves nothing of the stopped turn on the shell.
set -u
BIN="$1"
command -v tmux >/dev/null 2>&1 || exit 77
WORK=$(mktemp -d)
N=0
T="tmux -L kvchat-$$-0 -f /dev/null"
trap 'for i in 0 1 2 3 4 5; do tmux -L kvchat-$$-$i kill-server >/dev/null 2>&1; done; rm -rf "$WORK"' EXIT

fail() {
  echo "FAIL: $1"
  $T capture-pane -p -t kv 2>/dev/null | sed 's/^/  | /'
  exit 1
}
screen() { $T capture-pane -p -t kv; }
wait_for() {  # text, seconds
  i=0
  while [ "$i" -lt "$(($2 * 10))" ]; do
    screen | grep -qF -- "$1" && return 0
    sleep 0.1
    i=$((i + 1))
  done
  fail "no \"$1\" on the screen"
}
row_of() { screen | grep -nF -- "$1" | head -1 | cut -d: -f1; }
mouse() { $T send-keys -t kv -l "$(printf '\033[<%s;%s;%s%s' "$1" "$2" "$3" "$4")"; }
start() {  # each run on a tmux server of its own: speed, extra environment, extra options
  $T kill-server >/dev/null 2>&1
  N=$((N + 1))
  T="tmux -L kvchat-$$-$N -f /dev/null"
  $T new-session -d -s kv -x 100 -y 30 \
    "XDG_CONFIG_HOME=$WORK/cfg KESTRAVEL_DEMO_SPEED=${1:-8} ${2:-} '$BIN' ${3:-}; echo EXITED=\$?; sleep 60"
  $T set -g set-clipboard on
  [ -n "${3:-}" ] || wait_for "Press 1 or 2" 30
}
restored() {
  [ "$($T display -p -t kv '#{alternate_on}')" = 0 ] || fail "$1: alternate screen left on"
  [ "$($T display -p -t kv '#{mouse_any_flag}')" = 0 ] || fail "$1: mouse reporting left on"
  [ "$($T display -p -t kv '#{cursor_flag}')" = 1 ] || fail "$1: cursor left hidden"
}

start
$T send-keys -t kv 2
wait_for "Ask anything" 20
grep -q 'turbo-think' "$WORK/cfg/kestravel/config.toml" || fail "the mode was not saved"
$T send-keys -t kv -l "fix the port parsing"
$T send-keys -t kv Enter
wait_for "Press 1 to allow, 2 to deny" 60
$T send-keys -t kv 1
wait_for " tokens" 60

# Fold out the reasoning: a click on its header.
$T send-keys -t kv PageUp PageUp PageUp PageUp
sleep 0.5
r=$(row_of "▶")
[ -n "$r" ] || fail "no thinking header"
mouse 0 6 "$r" M
mouse 0 6 "$r" m
wait_for "▼ thinking" 5

# Drag over the prompt: exactly that text reaches tmux's clipboard buffer.
r=$(row_of "❯ fix the port parsing")
[ -n "$r" ] || fail "no prompt row"
mouse 0 4 "$r" M
mouse 32 12 "$r" M
mouse 32 23 "$r" M
mouse 0 23 "$r" m
sleep 0.5
[ "$($T show-buffer 2>/dev/null)" = "fix the port parsin" ] || fail "clipboard: '$($T show-buffer 2>&1)'"

$T send-keys -t kv C-d
wait_for "EXITED=0" 5
restored "Ctrl+D"

# /quit and Ctrl+D in the middle of a turn: the stopped turn still reports ("Interrupted",
# "Done in"), which must not reach the shell once the terminal is given back.
for how in /quit C-d; do
  start 1
  $T send-keys -t kv 1
  wait_for "Ask anything" 20
  $T send-keys -t kv -l "go"
  $T send-keys -t kv Enter
  wait_for "ctrl+c to stop" 10
  if [ "$how" = /quit ]; then
    $T send-keys -t kv -l "/quit"
    $T send-keys -t kv Enter
  else
    $T send-keys -t kv C-d
  fi
  wait_for "EXITED=0" 5
  restored "$how during a turn"
  if screen | grep -qE "Interrupted|Done in"; then
    fail "$how during a turn: the stopped turn's report reached the shell"
  fi
done

# Signals in the middle of a turn (and while an approval waits): ended within a second, restored.
for sig in TERM HUP; do
  start 1
  $T send-keys -t kv 1
  wait_for "Ask anything" 20
  $T send-keys -t kv -l "go"
  $T send-keys -t kv Enter
  wait_for "ctrl+c to stop" 10
  # Only the program in this pane: other tests may run the same binary at the same time.
  pane_pid=$($T display -p -t kv '#{pane_pid}')
  pkill -"$sig" -P "$pane_pid" -f "^$BIN" || fail "no program in the pane for SIG$sig"
  wait_for "EXITED=" 2
  restored "SIG$sig"
done
# NO_COLOR: the screens keep their attributes but send no colour at all.
start 8 "NO_COLOR=1"
$T capture-pane -e -p -t kv | grep -q "$(printf '\033')\[[0-9;]*\(38\|48\);" && fail "NO_COLOR: colours drawn"
$T capture-pane -e -p -t kv | grep -q "$(printf '\033')\[[0-9;]*1[;m]" || fail "NO_COLOR: bold lost"
$T send-keys -t kv q
wait_for "EXITED=0" 5

# --mode skips the mode screen; KESTRAVEL_DEMO_SPEED=0 makes the demo turn take no time.
start 0 "" "--mode fast"
wait_for "Ask anything" 20
$T send-keys -t kv -l "go"
$T send-keys -t kv Enter
wait_for "Press 1 to allow, 2 to deny" 3
$T send-keys -t kv 1
wait_for " tokens" 3
$T send-keys -t kv C-d
wait_for "EXITED=0" 5
echo "ok"
