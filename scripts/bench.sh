#!/usr/bin/env bash
# Runs the benchmark programs of a build root: the native Release build
# (BUILD/bench, made by `make bench`) and, when it exists, the win64 build
# under wine64. ips_bench (the patch run's write shapes) gets the arguments;
# phase_bench (identification, backup copy, the carried patch's read)
# runs with its defaults.
# Usage: scripts/bench.sh BUILD_ROOT [ips_bench arguments...]
set -u
root="$1"; shift
here="$(cd "$(dirname "$0")" && pwd)"
status=0

for program in ips_bench phase_bench; do
  args=()
  [ "$program" = ips_bench ] && args=("$@")
  native="$root/bench/bench/$program"
  if [ -x "$native" ]; then
    echo "=== $program, native ($(uname -m), Release) ==="
    "$native" ${args[@]+"${args[@]}"} || status=1
  else
    echo "no native bench at $native (run: make BUILD=$root bench)" >&2
    status=1
  fi

  windows="$root/win64/bench/$program.exe"
  if [ -f "$windows" ]; then
    echo "=== $program, win64 under wine64 ==="
    "$here/wine-run" "$windows" ${args[@]+"${args[@]}"} || status=1
  else
    echo "(no win64 bench at $windows: build it with: cmake --build $root/win64 --target $program)"
  fi
done
exit $status
