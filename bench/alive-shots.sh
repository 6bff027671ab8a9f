#!/usr/bin/env bash
# The window through the phases around the writes: a verified patcher (a
# 4-byte patch, packed with --source, so the target is read whole for its
# CRC-32) on a large file with 備份 ticked, the win64 build under wine64 on
# a private Xvfb. tessel-drive asks the bar for its position every 20 ms
# with a 1 s timeout from the click to the result and prints how the probes
# were answered; screenshots are taken every 0.25 s meanwhile and the
# distinct states of the window kept as OUT/alive-NN.png, the bars alone
# one above the other in OUT/alive-strip.png.
# Usage: bench/alive-shots.sh BUILD_ROOT OUT_DIR [MiB, default 512]
set -u
root="$(cd "${1:-build}" && pwd)"
out="$(mkdir -p "${2:-$root/alive-shots}" && cd "${2:-$root/alive-shots}" && pwd)"
mib="${3:-512}"
here="$(cd "$(dirname "$0")" && pwd)"
scripts="$(dirname "$here")/scripts"
build="$root/win64"
for f in "$root/host/tessel-pack" "$build/tessel-stub.exe" "$build/tessel-drive.exe"; do
  [ -f "$f" ] || { echo "alive-shots: $f is missing (make build)"; exit 1; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
head -c $((mib << 20)) /dev/urandom > "$work/original.bin"
printf 'PATCH\x00\x10\x00\x00\x04Tsl!EOF' > "$work/p.ips"
printf 'A 4-byte patch on %d MiB, verified, with a backup.\r\n' "$mib" > "$work/notes.txt"
"$root/host/tessel-pack" build --stub "$build/tessel-stub.exe" --patch "$work/p.ips" --source "$work/original.bin" \
  --description "$work/notes.txt" --title "Tessel alive test" -o "$work/patcher.exe" >/dev/null || exit 1
cp "$work/original.bin" "$work/t.bin"

export TESSEL_WINEPREFIX="$build/wineprefix" WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
"$scripts/wine-prefix" "$WINEPREFIX"
rm -f "$out"/frame-*.png "$out"/alive-*.png
# When the driver has typed the path it asks for its first screenshot; from
# then on frames are taken until it asks for the one of the result box.
session='
  (
    while [ ! -e "$work/want-main-window" ]; do sleep 0.05; done
    : > "$work/done-main-window"
    n=0
    while [ ! -e "$work/want-success-box" ]; do
      import -window root "$out/frame-$(printf %03d $n).png" 2>/dev/null; n=$((n + 1)); sleep 0.25
    done
    import -window root "$out/frame-$(printf %03d $n).png" 2>/dev/null
    : > "$work/done-success-box"
  ) &
  "$scripts/wine-run" "$build/tessel-drive.exe" --backup --probe --shots "$work" "$work/patcher.exe" "$work/t.bin"'
export work out scripts build
xvfb-run -a -s "-screen 0 640x480x24 -nolisten tcp" "$scripts/with-wineserver" bash -c "$session" | tee "$work/log"

kept=0; previous=""
for frame in "$out"/frame-*.png; do
  [ -e "$frame" ] || continue
  sum="$(convert "$frame" -depth 8 rgb:- | md5sum | cut -c1-32)"
  if [ "$sum" != "$previous" ]; then
    cp "$frame" "$out/alive-$(printf %02d $kept).png"; kept=$((kept + 1)); previous="$sum"
  fi
done
rm -f "$out"/frame-*.png
convert "$out"/alive-*.png -crop 150x20+250+320 +repage -append "$out/alive-strip.png" 2>/dev/null
echo "alive-shots: $kept distinct screens in $out, the bars alone in alive-strip.png"
grep -q "unanswered 0" "$work/log" && grep -q "holds the old content" "$work/log"
