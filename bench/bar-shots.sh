#!/usr/bin/env bash
# The progress bar during a long run: a 300,000-record patcher (win64 build,
# under wine64 on a private Xvfb) patches a 16 MiB file that sits cold on a
# slow disk: a loop device whose reads are held to 4 MB/s (blkio throttle),
# as a USB stick or a busy disk would give them. Screenshots are taken every
# 0.3 s while the run goes on, and the distinct states of the bar are kept
# as OUT/bar-NN.png.
#
# Needs root, a free loop device and the cgroup v1 blkio controller; says so
# and exits 77 where they are missing.
# Usage: bench/bar-shots.sh BUILD_ROOT OUT_DIR
set -u
root="$(cd "${1:-build}" && pwd)"
out="$(mkdir -p "${2:-$root/bar-shots}" && cd "${2:-$root/bar-shots}" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
scripts="$(dirname "$here")/scripts"
build="$root/win64"
cgroup=/sys/fs/cgroup/blkio/tessel-bar-shots

skip() { echo "bar-shots: $*; skipped"; exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root (loop device, cgroup, dropping the page cache)"
[ -d /sys/fs/cgroup/blkio ] || skip "no cgroup v1 blkio controller"
for f in "$root/host/tessel-pack" "$build/tessel-stub.exe" "$build/tessel-drive.exe"; do
  [ -f "$f" ] || { echo "bar-shots: $f is missing (make build)"; exit 1; }
done

work="$(mktemp -d)"
mnt="$work/slow"
loop=""
cleanup() {
  mountpoint -q "$mnt" && umount "$mnt"
  [ -n "$loop" ] && losetup -d "$loop"
  rmdir "$cgroup" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# 300,000 records of 1 to 24 bytes at random offsets in 16 MiB.
python3 - "$work/p.ips" <<'EOF'
import random, struct, sys
r = random.Random(11)
out = bytearray(b"PATCH")
for _ in range(300000):
    size = r.randint(1, 24)
    offset = r.randrange((16 << 20) - size)
    if offset == 0x454F46:
        offset += 1
    out += struct.pack(">I", offset)[1:] + struct.pack(">H", size) + r.randbytes(size)
open(sys.argv[1], "wb").write(out)
EOF
printf '300,000 records on 16 MiB, on a slow disk.\r\n' > "$work/notes.txt"
"$root/host/tessel-pack" build --stub "$build/tessel-stub.exe" --patch "$work/p.ips" \
  --description "$work/notes.txt" --title "Tessel bar test" -o "$work/patcher.exe" >/dev/null || exit 1

truncate -s 96M "$work/slow.img"
loop="$(losetup -f --show "$work/slow.img")" || skip "no free loop device"
mkfs.ext4 -q "$loop" && mkdir -p "$mnt" && mount "$loop" "$mnt" || exit 1
head -c $((16 << 20)) /dev/urandom > "$mnt/t.bin" && sync
mkdir -p "$cgroup" && printf '%d:%d 4194304\n' "0x$(stat -c %t "$loop")" "0x$(stat -c %T "$loop")" \
  > "$cgroup/blkio.throttle.read_bps_device" || skip "cannot throttle $loop"

export TESSEL_WINEPREFIX="$build/wineprefix" WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
"$scripts/wine-prefix" "$WINEPREFIX"
rm -f "$out"/frame-*.png "$out"/bar-*.png
# Inside the Xvfb session: when the driver has typed the path and asks for
# its first screenshot, the page cache is dropped (the driver read the
# target) and frames are taken until the driver ends.
session='
  echo $$ > "$cgroup/cgroup.procs"
  (
    while [ ! -e "$work/want-main-window" ]; do sleep 0.05; done
    sync; echo 3 > /proc/sys/vm/drop_caches
    : > "$work/done-main-window"
    n=0
    while [ ! -e "$work/want-success-box" ]; do
      import -window root "$out/frame-$(printf %03d $n).png" 2>/dev/null; n=$((n + 1)); sleep 0.3
    done
    import -window root "$out/frame-$(printf %03d $n).png" 2>/dev/null
    : > "$work/done-success-box"
  ) &
  "$scripts/wine-run" "$build/tessel-drive.exe" --shots "$work" "$work/patcher.exe" "$mnt/t.bin"'
export cgroup work out scripts build mnt
xvfb-run -a -s "-screen 0 640x480x24 -nolisten tcp" "$scripts/with-wineserver" bash -c "$session" | tee "$work/log"

# The bar's states: frames whose bar area differs from the one before.
kept=0; previous=""
for frame in "$out"/frame-*.png; do
  [ -e "$frame" ] || continue
  sum="$(convert "$frame" -crop 640x480+0+0 -depth 8 rgb:- | md5sum | cut -c1-32)"
  if [ "$sum" != "$previous" ]; then
    cp "$frame" "$out/bar-$(printf %02d $kept).png"; kept=$((kept + 1)); previous="$sum"
  fi
done
rm -f "$out"/frame-*.png
# The bars one above the other (where wine centres the window on this
# 640x480 screen): bar-strip.png.
convert "$out"/bar-*.png -crop 150x20+250+320 +repage -append "$out/bar-strip.png" 2>/dev/null
echo "bar-shots: $kept distinct screens in $out, the bars alone in bar-strip.png"
grep -q "完成! 總用時:" "$work/log"
