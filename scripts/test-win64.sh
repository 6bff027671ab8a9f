#!/usr/bin/env bash
# Runs the win64 test suite under wine64 with a display of its own.
# Usage: scripts/test-win64.sh BUILD_DIR [ctest args...]
# The Xvfb screen is 1023 pixels wide on purpose: odd widths exercise the
# arithmetic shift used when a window is centred.
set -u
build="$(cd "$1" && pwd)"; shift
here="$(cd "$(dirname "$0")" && pwd)"
export TESSEL_WINEPREFIX="$build/wineprefix"
"$here/wine-prefix" "$TESSEL_WINEPREFIX"
export WINEPREFIX="$TESSEL_WINEPREFIX" WINEDEBUG=-all
# -noreset: an X server resets when its last client leaves, and the reset
# (xkbcomp) delays the next test program.
exec xvfb-run -a -s "-screen 0 1023x768x24 -nolisten tcp -noreset" "$here/with-wineserver" \
  ctest --test-dir "$build" --output-on-failure "$@"
