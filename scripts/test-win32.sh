#!/usr/bin/env bash
# Runs the i686 test suite: the shipped tessel.exe, tessel-stub.exe and
# tessel-pack.exe and the i686 builds of the test programs, under 32-bit wine
# in the i386 root (scripts/i386-root), with a display of its own.
# Usage: scripts/test-win32.sh BUILD_DIR [ctest args...]
# Exit status: ctest's, or 77 when this machine cannot run i386 code (one
# line says why; none of the suite's tests ran).
set -u
build="$(cd "$1" && pwd)"; shift
here="$(cd "$(dirname "$0")" && pwd)"
if ! why="$("$here/i386-root" probe 2>&1)"; then
  echo "i686 suite SKIPPED, none of its tests ran: ${why#i386-root: }"
  exit 77
fi
exec "$here/i386-root" run --bind "$(dirname "$here")" --bind "$build" --prefix "$build/wineprefix" -- \
  ctest --test-dir "$build" --output-on-failure "$@"
