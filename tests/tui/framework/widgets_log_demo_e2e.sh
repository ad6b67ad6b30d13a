#!/usr/bin/env bash
# Runs the log demo for real in a tmux pane: it starts, shows the rows, scrolls, quits on "q",
# and leaves the terminal as it found it (main screen, cursor shown, same stty settings).
#   widgets_log_demo_e2e.sh <path to example_log_demo>
set -euo pipefail

demo="$1"
command -v tmux >/dev/null || { echo "tmux is not installed"; exit 77; }

work="$(mktemp -d)"
sock="kv-log-demo-$$"
tmx() { tmux -L "$sock" -f /dev/null "$@"; }
cleanup() {
  tmx kill-server 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  echo "---- pane ----"
  tmx capture-pane -p -t demo 2>/dev/null || true
  exit 1
}

# Waits until the pane shows text matching $1 (grep -E), for up to $2 tenths of a second.
wait_for() {
  for _ in $(seq "${2:-100}"); do
    if tmx capture-pane -p -t demo | grep -qE "$1"; then return 0; fi
    sleep 0.1
  done
  return 1
}

wait_file() {
  for _ in $(seq "${2:-100}"); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

tmx new-session -d -s demo -x 80 -y 24 "env -i PATH=/usr/bin:/bin TERM=xterm-256color bash --norc --noprofile"
tmx send-keys -t demo "stty -a > $work/before; PS1='$ '" Enter
wait_file "$work/before" || fail "the shell did not start"

tmx send-keys -t demo "$demo 300 1; echo \$? > $work/status" Enter
wait_for "all rows written" 150 || fail "the rows did not all arrive"
sleep 0.3  # tmux may show a frame half drawn; let the last one land
[ "$(tmx display -p -t demo '#{alternate_on}')" = "1" ] || fail "not on the alternate screen"
screen="$(tmx capture-pane -p -t demo)"
echo "$screen" | head -1 | grep -q "Log demo" || fail "no header on the first row"
echo "$screen" | grep -q "row 299" || fail "the last row is not shown"
echo "$screen" | grep -q "row 250" && fail "rows above the view are shown"

tmx send-keys -t demo PageUp
wait_for "row 2[5-7][0-9]:" 30 || fail "PageUp did not scroll up"
sleep 0.3
tmx capture-pane -p -t demo | grep -q "all rows written" && fail "PageUp left the end in view"
tmx send-keys -t demo End
wait_for "all rows written" 30 || fail "End did not scroll back"
# The wheel, as the terminal reports it (SGR mouse: button 64 up, 65 down).
tmx send-keys -t demo -l $'\e[<64;20;10M'
sleep 0.3
tmx capture-pane -p -t demo | grep -q "all rows written" && fail "the wheel did not scroll up"
tmx send-keys -t demo -l $'\e[<65;20;10M'
wait_for "all rows written" 30 || fail "the wheel did not scroll down"

tmx send-keys -t demo q
wait_file "$work/status" 50 || fail "q did not quit"
[ "$(cat "$work/status")" = "0" ] || fail "exit status $(cat "$work/status")"

read -r alt cursor < <(tmx display -p -t demo '#{alternate_on} #{cursor_flag}')
[ "$alt" = "0" ] || fail "the alternate screen is still on"
[ "$cursor" = "1" ] || fail "the cursor is hidden"

tmx send-keys -t demo "stty -a > $work/after" Enter
wait_file "$work/after" || fail "the shell did not come back"
diff "$work/before" "$work/after" || fail "stty settings changed"
echo "PASS"
