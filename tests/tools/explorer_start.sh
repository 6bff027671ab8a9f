#!/usr/bin/env bash
# tessel-pack.exe started as Explorer starts it (a console of its own, made
# by `start`): double-clicked it shows its help and stays until a key is
# pressed; with a patch and a .txt dropped on it (either order) it writes
# the patcher beside the patch, named after it, and again waits for a key.
# Keys go to the console window through the X display (xdotool).
# With SHOTS set, screenshots of both windows are saved there.
# Usage: explorer_start.sh WINDOWS_TOOL   (inside the test display and wine prefix)
set -u
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# A name of its own, so that only this copy is watched.
name="tp-explorer-$$.exe"
cp "$1" "$work/$name"
cd "$work"
printf 'PATCH\x00\x00\x10\x00\x04ABCDEOF' > drop.ips
printf '補丁說明\n第二行\n' > notes.txt
status=0
fail() { echo "FAIL: $*"; status=1; }
# Explorer passes full Windows paths; wine shows the Unix root as Z:.
windows_path() { local p="Z:$1"; echo "${p//\//\\}"; }
running() { pgrep -f "$name" > /dev/null; }
# start_and_close SHOT ARGS...: starts the tool, waits for WAIT_FOR to
# exist (or 5 s), checks it still waits, takes the shot, presses a key and
# checks that it closes.
start_and_close() {
  local shot="$1"; shift
  /usr/lib/wine/wine64 start /unix "$work/$name" "$@" < /dev/null > /dev/null 2>&1 &
  for i in $(seq 1 60); do
    [ -n "${WAIT_FOR:-}" ] && [ -e "$WAIT_FOR" ] && break
    [ -z "${WAIT_FOR:-}" ] && [ "$i" -ge 20 ] && break
    sleep 0.25
  done
  sleep 2
  running || { fail "$shot: it did not wait for a key"; return; }
  [ -n "${SHOTS:-}" ] && import -window root "$SHOTS/$shot.png" 2>/dev/null
  xdotool key space
  for i in $(seq 1 40); do running || break; sleep 0.25; done
  if running; then fail "$shot: still running after the key"; pkill -f "$name"; fi
}

WAIT_FOR="" start_and_close double-click-help
WAIT_FOR="$work/drop.exe" start_and_close drop-console "$(windows_path "$work/notes.txt")" "$(windows_path "$work/drop.ips")"
[ -s drop.exe ] || fail "no patcher beside the dropped patch"
/usr/lib/wine/wine64 "$work/$name" inspect drop.exe > inspect.log 2>&1 || { cat inspect.log; fail "drop.exe is not a valid patcher"; }
grep -q '^records *1 ' inspect.log || { cat inspect.log; fail "drop.exe does not carry the dropped patch"; }
[ $status -eq 0 ] && echo "started from Explorer: help and a patcher from a drop, each until a key"
exit $status
