#!/usr/bin/env bash
# Runs the benchmark programs of a build root: the native Release build
# (BUILD/bench, made by `make bench`) and, when it exists, the win64 build
# under wine64. Usage: scripts/bench.sh BUILD_ROOT [ips_bench arguments...]
set -u
root="$1"; shift
here="$(cd "$(dirname "$0")" && pwd)"
status=0

native="$root/bench/bench/ips_bench"
if [ -x "$native" ]; then
  echo "=== ips_bench, native ($(uname -m), Release) ==="
  "$native" "$@" || status=1
else
  echo "no native bench at $native (run: make BUILD=$root bench)" >&2
  status=1
fi

windows="$root/win64/bench/ips_bench.exe"
if [ -f "$windows" ]; then
  echo "=== ips_bench, win64 under wine64 ==="
  "$here/wine-run" "$windows" "$@" || status=1
else
  echo "(no win64 bench at $windows: build it with: cmake --build $root/win64 --target ips_bench)"
fi
# Patch creation: sizes, round trips, times, memory (natively with the
# library's suffix sorting, under wine64 with the in-tree one).
create="$root/bench/bench/create_bench"
if [ -x "$create" ]; then
  echo "=== create_bench, native ($(uname -m), Release) ==="
  "$create" ${TESSEL_BENCH_BIG:+--big} || status=1
fi
windows_create="$root/win64/bench/create_bench.exe"
if [ -f "$windows_create" ]; then
  echo "=== create_bench, win64 under wine64 ==="
  "$here/wine-run" "$windows_create" || status=1
fi
exit $status
