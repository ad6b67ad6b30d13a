#!/bin/sh
# Runs `kestravel view` inside a tmux pane with set-clipboard on and drags over two rows: the
# selected text must arrive, exactly, in tmux's paste buffer (through OSC 52 on the pane's tty).
set -eu
KV=$1
command -v tmux >/dev/null 2>&1 || exit 77
WORK=$(mktemp -d)
SOCK="kvclip-$$"
T="tmux -L $SOCK -f /dev/null"
cleanup() { $T kill-server 2>/dev/null || true; rm -rf "$WORK"; }
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  cat "$WORK/out" >&2 2>/dev/null || true
  exit 1
}

cat > "$WORK/script.jsonl" <<'JSON'
{"call":"append_info","text":"alpha beta gamma ✓"}
{"call":"append_info","text":"second line here"}
{"mouse":"down","x":2,"y":1}
{"mouse":"move","x":5,"y":2}
{"mouse":"move","x":8,"y":3}
{"mouse":"up","x":8,"y":3}
{"call":"get_selection"}
JSON

$T new-session -d -s t -x 80 -y 24 "sh"
$T set -g set-clipboard on
# No clipboard command may stand in for the terminal here.
$T send-keys -t t "env PATH=/nonexistent WAYLAND_DISPLAY= DISPLAY= $KV view $WORK/script.jsonl --size 40x8 > $WORK/out 2>&1; echo \$? > $WORK/rc" Enter
i=0
while [ ! -s "$WORK/rc" ]; do
  i=$((i + 1))
  [ $i -lt 200 ] || fail "the view never finished"
  sleep 0.05
done
[ "$(cat "$WORK/rc")" = 0 ] || fail "view exited with $(cat "$WORK/rc")"
grep -q '"result":"alpha beta gamma ✓\\n\\n  second"' "$WORK/out" || fail "get_selection did not return the dragged text"
grep -q 'Could not copy' "$WORK/out" && fail "the copy was reported as failed"
# tmux may take a moment to turn the sequence into a buffer.
i=0
while ! $T show-buffer >/dev/null 2>&1; do
  i=$((i + 1))
  [ $i -lt 100 ] || fail "no paste buffer was created"
  sleep 0.05
done
printf 'alpha beta gamma ✓\n\n  second' > "$WORK/expected"
$T show-buffer > "$WORK/buffer"
cmp "$WORK/expected" "$WORK/buffer" || fail "paste buffer holds '$(cat "$WORK/buffer")'"
echo ok
