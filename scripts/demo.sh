#!/usr/bin/env bash
# The patcher on its built-in demo payload (`make demo` builds everything
# first). Makes a demo target file and starts tessel.exe under wine.
#
# Where the kernel executes i386 code, the demo runs the product itself,
# BUILD/win32/tessel.exe, under 32-bit wine in the i386 root
# (scripts/i386-root); elsewhere the x86_64 build of the same sources,
# BUILD/win64/tessel.exe (same payload), under wine64. It says which.
#
#  - No DISPLAY: runs on its own Xvfb with code page 936 (LC_ALL=zh_CN.UTF-8),
#    types the target's path, ticks the backup box, presses 確定, prints the
#    message box text and the changed byte count, saves a screenshot to
#    BUILD/demo.png and closes the window.
#  - With a DISPLAY: opens the window for a person and waits until it is
#    closed.
# Usage: scripts/demo.sh BUILD_ROOT
set -u
root="$(cd "${1:-build}" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
src="$(dirname "$here")"
if why="$("$here/i386-root" probe 2>&1)"; then
  build="$root/win32"
  echo "demo: running the i686 tessel.exe (the product) under 32-bit wine in the i386 root."
  # in_session COMMAND...: COMMAND in a session of the root, on its own Xvfb
  # or on the caller's display.
  in_session() {
    local display=(--screen 1023x768x24)
    [ -n "${DISPLAY:-}" ] && display=(--caller-display)
    "$here/i386-root" run --bind "$src" --bind "$root" --prefix "$build/wineprefix" "${display[@]}" -- "$@"
  }
else
  build="$root/win64"
  echo "demo: ${why#i386-root: }; running the x86_64 build of tessel.exe under wine64 instead."
  in_session() {
    if [ -n "${DISPLAY:-}" ]; then
      "$@"
    else
      xvfb-run -a -s "-screen 0 1023x768x24 -nolisten tcp" "$here/with-wineserver" "$@"
    fi
  }
  export TESSEL_WINEPREFIX="$build/wineprefix"
  "$here/wine-prefix" "$TESSEL_WINEPREFIX"
  export WINEPREFIX="$TESSEL_WINEPREFIX" WINEDEBUG=-all
fi
for f in tessel.exe tessel-drive.exe; do
  [ -f "$build/$f" ] || { echo "demo: $build/$f is missing; run make demo (it builds first)"; exit 1; }
done

# The demo target: 0x1C0000 zero bytes, the size the demo patch reaches, so
# every one of its 131 bytes shows as a change.
demo="$root/demo"
mkdir -p "$demo"
rm -f "$demo/target.bin" "$demo/target.bin.bak"
head -c $((0x1C0000)) /dev/zero > "$demo/target.bin"
target_win="Z:$(echo "$demo/target.bin" | tr / '\\')"

# Code page 936 for the programs under wine only (bash itself has no such
# glibc locale and would warn).
cjk="LC_ALL=zh_CN.UTF-8"

if [ -n "${DISPLAY:-}" ]; then
  echo "demo: opening the patcher window on $DISPLAY."
  echo "demo: target file to patch: $target_win"
  echo "demo: type or browse to it, tick 備份 for a backup, press 確定; close the window to end."
  in_session env "$cjk" "$here/wine-run" "$build/tessel.exe" 2>/dev/null
  echo "demo: the window was closed (exit code $?)."
  exit 0
fi

echo "demo: no DISPLAY; running headless on a private Xvfb (1023x768, code page 936)."
# Under the build root: the i686 session binds it, so the program sees it.
shots="$(mktemp -d "$root/shots.XXXXXX")"
trap 'rm -rf "$shots"' EXIT
rm -f "$root/demo.png"
# Inside the Xvfb session: answer the driver's screenshot requests while
# it drives the program.
session='
  source "$here/shot-loop.sh"
  shot_loop "$shots" "$shots" &
  loop=$!
  env "$cjk" "$here/wine-run" "$build/tessel-drive.exe" --backup --shots "$shots" \
    "$build/tessel.exe" "$target_win" 2> >(grep -v "setlocale" >&2)
  status=$?
  kill $loop 2>/dev/null; wait $loop 2>/dev/null
  exit $status'
export here build shots target_win cjk
in_session bash -c "$session"
status=$?
if [ -s "$shots/success-box.png" ]; then
  cp "$shots/success-box.png" "$root/demo.png"
  echo "demo: screenshot of the window and its message box: $root/demo.png"
fi
cmp -s "$demo/target.bin.bak" <(head -c $((0x1C0000)) /dev/zero) && echo "demo: backup $demo/target.bin.bak holds the old target."
[ $status -eq 0 ] && echo "demo: done." || echo "demo: FAILED (status $status)."
exit $status
