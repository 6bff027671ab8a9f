#!/usr/bin/env bash
# Screenshots of the main window (path typed, backup ticked) and of the
# success box, taken while tessel-drive runs a patch session on tessel.exe.
# Saved as BUILD/screenshots/main-window.png and success-box.png.
# Usage: screenshots.sh BUILD_DIR   (inside the test display and wine prefix)
set -u
build="$(cd "$1" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
out="$build/screenshots"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
rm -f "$out/main-window.png" "$out/success-box.png"
head -c $((0x1C0000)) /dev/zero > "$work/target.bin"

source "$here/../../scripts/shot-loop.sh"
shot_loop "$work" "$out" &
loop=$!
"$here/../../scripts/wine-run" "$build/tessel-drive.exe" --backup --shots "$work" \
  "$build/tessel.exe" "$work/target.bin" | tee "$work/log"
status=${PIPESTATUS[0]}
kill $loop 2>/dev/null; wait $loop 2>/dev/null

fail=0
[ "$status" -eq 0 ] || { echo "tessel-drive failed ($status)"; fail=1; }
for shot in main-window success-box; do
  if [ ! -s "$out/$shot.png" ]; then echo "missing screenshot $shot"; fail=1; continue; fi
  # A blank capture has a single colour.
  colours=$(convert "$out/$shot.png" -format %k info:)
  echo "$out/$shot.png: $colours colours"
  [ "$colours" -gt 8 ] || { echo "screenshot $shot looks blank"; fail=1; }
done
grep -q "^changed: 131 bytes in place, 0 bytes added" "$work/log" || { echo "unexpected change count"; fail=1; }
grep -q "完成! 總用時:[0-9]* ms" "$work/log" || { echo "unexpected message"; fail=1; }
exit $fail
