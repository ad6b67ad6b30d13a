#!/bin/sh
# Installs the build into a temporary prefix (through DESTDIR, as a package build does) and runs
# the installed program; the manual page and completions land where man and the shells look.
set -eu
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
DESTDIR="$tmp/root" cmake --install "$build" --prefix /opt/kv >"$tmp/log" 2>&1 || { cat "$tmp/log"; exit 1; }
root="$tmp/root/opt/kv"
out=$("$root/bin/kestravel" --version)
case $out in
  "kestravel "[0-9]*" (commit "*")") ;;
  *) echo "unexpected --version output: $out"; exit 1 ;;
esac
for f in share/man/man1/kestravel.1 share/bash-completion/completions/kestravel \
         share/zsh/vendor-completions/_kestravel share/fish/vendor_completions.d/kestravel.fish; do
  [ -s "$root/$f" ] || { echo "missing $f"; exit 1; }
done
bash -n "$root/share/bash-completion/completions/kestravel"
if command -v man >/dev/null 2>&1; then
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/share/man/man1/kestravel.1" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "man page warnings: $warnings"; exit 1; }
fi
echo "installed and ran: $out"
