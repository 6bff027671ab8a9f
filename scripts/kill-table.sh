#!/usr/bin/env bash
# The full kill -9 table: 100 kills natively (tessel-pack apply, 10 for each
# of the five bench shapes with and without --backup) and 100 through the
# window under wine64 (the same rows, the patcher driven by tessel-drive).
# Usage: scripts/kill-table.sh BUILD_ROOT [KILLS_PER_ROW]
# (needs BUILD_ROOT/host/tessel-pack, BUILD_ROOT/win32/tessel-stub.exe and
# the win64 build's tessel-drive.exe and tessel-stub.exe).
set -u
root="$(cd "$1" && pwd)"
kills="${2:-10}"
here="$(cd "$(dirname "$0")" && pwd)"
test="$here/../tests/tools/kill_during_run.sh"
shapes=(sparse256 small200k translation runs rewrite)
status=0
echo "=== natively: tessel-pack apply ==="
bash "$test" "$root/host/tessel-pack" "$root/win32/tessel-stub.exe" "$kills" "${shapes[@]}" || status=1
echo "=== through the window under wine64 ==="
bash "$test" --window "$root/win64/tessel-drive.exe" "$root/host/tessel-pack" "$root/win64/tessel-stub.exe" \
  "$kills" "${shapes[@]}" || status=1
exit $status
