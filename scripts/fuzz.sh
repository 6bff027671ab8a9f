#!/usr/bin/env bash
# Runs every libFuzzer target of the host build for a bounded time and fails
# when any of them finds a crash, a leak or a broken invariant.
# Usage: scripts/fuzz.sh BUILD_ROOT SECONDS_PER_TARGET
# Each target <name>_fuzz starts from a temporary copy of fuzz/corpus/<name>/
# (so the repository's seeds are never polluted); new crash inputs are kept
# under BUILD_ROOT/fuzz-artifacts/<name>/ for reproduction:
#   BUILD_ROOT/host/fuzz/<name>_fuzz BUILD_ROOT/fuzz-artifacts/<name>/crash-...
set -u
root="$1"
seconds="${2:-30}"
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(dirname "$here")"
bin="$root/host/fuzz"

shopt -s nullglob
targets=("$bin"/*_fuzz)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz.sh: no fuzz targets under $bin (build the host flavour with clang first)" >&2
  exit 1
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/tessel-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
status=0
for exe in "${targets[@]}"; do
  [ -x "$exe" ] || continue
  target="$(basename "$exe")"
  name="${target%_fuzz}"
  corpus="$work/$name/corpus"
  artifacts="$root/fuzz-artifacts/$name"
  mkdir -p "$corpus" "$artifacts"
  [ -d "$repo/fuzz/corpus/$name" ] && cp -r "$repo/fuzz/corpus/$name/." "$corpus/"
  log="$work/$name/log"
  echo "--- $target: ${seconds}s, seeds: $(ls "$corpus" | wc -l)"
  # 64 KiB inputs: long enough for the 5,000-record progress step.
  "$exe" -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" >"$log" 2>&1
  rc=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  rate=$(grep -o 'exec/s: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$')
  echo "    inputs: ${runs:-?} (${rate:-?}/s), coverage: ${cov#cov: } edges, corpus: $(ls "$corpus" | wc -l) inputs, exit $rc"
  if [ $rc -ne 0 ]; then
    status=1
    echo "    FAILED; last lines of its log:"
    tail -n 30 "$log" | sed 's/^/    | /'
  fi
  rmdir "$artifacts" 2>/dev/null || true
done
[ $status -eq 0 ] && echo "fuzz: no failures" || echo "fuzz: FAILURES (inputs under $root/fuzz-artifacts/)"
exit $status
