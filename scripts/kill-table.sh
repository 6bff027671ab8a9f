#!/usr/bin/env bash
# The full kill -9 table: 100 kills natively (tessel-pack apply, 10 for each
# of the five bench shapes with and without --backup) and 96 through the
# window under wine64 (12 for each of four shapes, with and without the
# backup box; the 256 MiB shape is left out there: its identification alone
# takes seconds under wine). Usage: scripts/kill-table.sh BUILD_ROOT
# (needs BUILD_ROOT/host/tessel-pack, BUILD_ROOT/win32/tessel-stub.exe and
# the win64 build's tessel-drive.exe and tessel-stub.exe).
set -u
root="$(cd "$1" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
test="$here/../tests/tools/kill_during_run.sh"
status=0
echo "=== natively: tessel-pack apply ==="
bash "$test" "$root/host/tessel-pack" "$root/win32/tessel-stub.exe" 10 \
  sparse256 small200k translation runs rewrite || status=1
echo "=== through the window under wine64 ==="
bash "$test" --window "$root/win64/tessel-drive.exe" "$root/host/tessel-pack" "$root/win64/tessel-stub.exe" 12 \
  small200k translation runs rewrite || status=1
exit $status
