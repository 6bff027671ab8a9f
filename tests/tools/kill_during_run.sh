#!/usr/bin/env bash
# kill -9 at random moments of a verified patcher's run (`tessel-pack apply`
# with the original's size and CRC-32 carried), over the bench's shapes,
# with and without --backup; then the same command again. Afterwards every
# target must be fully patched, the .bak (when made) must be the original,
# and nothing may be left beside the target (no undo journal, no temporary).
# Prints one row per shape and backup setting. A third of the kills fall at
# a random moment of the whole run (most of which is reading and checking
# the target), a third within 40 ms of the undo journal or the new file
# appearing (while it is written), a third within 8 ms of the journal
# getting its entries (sealed: the writes in place follow) or the new file
# appearing.
#
# Usage: kill_during_run.sh [--window DRIVE] TOOL STUB KILLS [SHAPE...]
#   KILLS  kills per row; shapes: sparse256 small200k translation runs rewrite,
#          and sparse16 (sparse256's records on a 16 MiB file) (default: all
#          but sparse256 and sparse16)
#   --window DRIVE: the patcher (built on STUB, a Windows program) runs in
#          its window under wine, driven by DRIVE (tessel-drive.exe); the
#          kill goes to the patcher's own process.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
drive=""
if [ "${1:-}" = --window ]; then
  drive="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"
  if [ -z "${TESSEL_KILL_SESSION:-}" ]; then
    # The window needs a display and a wineserver of its own (as the win64
    # suite has them: scripts/test-win64.sh).
    # A prefix of its own: its wineserver is stopped at the end, which must
    # not stop the one a test suite may be using on the build's prefix.
    export TESSEL_KILL_SESSION=1 TESSEL_WINEPREFIX="$(dirname "$drive")/wineprefix-kill"
    "$here/../../scripts/wine-prefix" "$TESSEL_WINEPREFIX"
    export WINEPREFIX="$TESSEL_WINEPREFIX" WINEDEBUG=-all
    exec xvfb-run -a -s "-screen 0 1023x768x24 -nolisten tcp -noreset" "$here/../../scripts/with-wineserver" \
      bash "$0" "$@"
  fi
  shift 2
fi
tool="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
stub="$2"; kills="$3"; shift 3
shapes=("$@")
[ ${#shapes[@]} -eq 0 ] && shapes=(small200k translation runs rewrite)
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0
# The patcher's name is this run's own, so the process killed under wine is
# found by it and can be no other.
patcher="kill-$$-$RANDOM-patcher.exe"

# The bench's shapes, made here with the same structure (offsets, sizes,
# counts), the original target and the expected result.
make_shape() {  # name dir
  python3 - "$1" "$2" <<'EOF'
import random, sys
name, out = sys.argv[1], sys.argv[2]
rng = random.Random(name)
size = {"sparse256": 256 << 20}.get(name, 4 << 20 if name == "translation" else 16 << 20)
recs = []  # (offset, data bytes or None, run length, value)
def data(off, n):
    if off == 0x454F46: off += 1
    recs.append((off, rng.randbytes(n), 0, 0))
if name in ("sparse256", "sparse16"):
    for i in range(50): data(i * (16 << 20) // 50 + rng.randrange(4096), 64)
elif name == "small200k":
    for _ in range(200000):
        n = 1 + rng.randrange(24); data(rng.randrange((16 << 20) - n), n)
elif name == "translation":
    for _ in range(3000):
        n = 8 + rng.randrange(57); data(rng.randrange((4 << 20) - n), n)
elif name == "runs":
    for i in range(256): recs.append((i * 65535, None, 65535, (i * 37 + 1) & 255))
elif name == "rewrite":
    for off in range(0, 16 << 20, 65535): data(off, min(65535, (16 << 20) - off))
patch = bytearray(b"PATCH")
for off, d, count, value in recs:
    patch += off.to_bytes(3, "big")
    if d is None: patch += b"\0\0" + count.to_bytes(2, "big") + bytes([value])
    else: patch += len(d).to_bytes(2, "big") + d
open(out + "/p.ips", "wb").write(patch)
with open(out + "/original.bin", "wb") as f:
    if size > (64 << 20):
        f.truncate(size)
    else:
        f.write(bytes((i * 131 + (i >> 12)) & 255 for i in range(1 << 20)) * (size >> 20))
# The expected result only where the records write: the rest is the original.
with open(out + "/original.bin", "rb") as f:
    image = bytearray(f.read()) if size <= (64 << 20) else None
if image is None:
    image = bytearray(17 << 20)  # the span records reach; the rest stays sparse zeros
for off, d, count, value in recs:
    if d is None: image[off:off + count] = bytes([value]) * count
    else: image[off:off + len(d)] = d
open(out + "/expected.head", "wb").write(image[:min(len(image), size)])
EOF
}

same_as_expected() {  # target dir
  local size head
  size=$(stat -c %s "$2/original.bin")
  [ "$(stat -c %s "$1")" = "$size" ] || return 1
  head=$(stat -c %s "$2/expected.head")
  cmp -s -n "$head" "$1" "$2/expected.head" || return 1
  [ "$head" -ge "$size" ] || cmp -s -i "$head" "$1" "$2/original.bin"
}

leftovers() {  # dir: names beside the target the run must not leave
  (cd "$1" && ls -A | grep -E '^t\.bin\.(tessel-|bak\.partial|bak\.tessel-)' || true)
}

# One run of the patcher on DIR/t.bin, in the background; its process id
# (the patcher's own under wine) in $pid.
start_run() {  # dir backup
  if [ -z "$drive" ]; then
    "$tool" apply "$1/patcher.exe" "$1/t.bin" "${flag[@]}" > "$1/run.log" 2>&1 &
    pid=$!
    return
  fi
  (cd "$1" && "$here/../../scripts/wine-run" "$drive" "${flag[@]}" "$patcher" t.bin > run.log 2>&1) &
  driver=$!
  pid=""
  # The patcher under wine: the process whose program (the first word of
  # its command line) is it. The driver's command line names the patcher
  # too, but as an argument; and a process between two execs can show an
  # empty one, so nothing is taken for the patcher by what it lacks.
  for ((i = 0; i < 3000 && ${#pid} == 0; ++i)); do
    for found in $(grep -l -a -F "$patcher" /proc/[0-9]*/cmdline 2>/dev/null); do
      program=""
      { IFS= read -r -d '' program < "$found"; } 2>/dev/null
      [[ "$program" == *"$patcher"* ]] && { pid=$(basename "$(dirname "$found")"); break; }
    done
    kill -0 $driver 2>/dev/null || break
  done
}
finish_run() {  # after a kill: the driver (when there is one) notices and ends
  if [ -n "$drive" ]; then wait $driver 2>/dev/null; else wait $pid 2>/dev/null; fi
}
# The run again, to its end; its words in DIR/again.log.
run_again() {  # dir
  if [ -z "$drive" ]; then
    "$tool" apply "$1/patcher.exe" "$1/t.bin" "${flag[@]}" > "$1/again.log" 2>&1
  else
    (cd "$1" && "$here/../../scripts/wine-run" "$drive" "${flag[@]}" "$patcher" t.bin > again.log 2>&1 &&
      ! grep -q '寫入失敗\|Write failed' again.log)
  fi
}

printf '%-12s %-7s %6s %10s %12s %12s %10s\n' shape backup kills "mid-run" "put back" "patched" leftovers
for shape in "${shapes[@]}"; do
  dir="$work/$shape"; mkdir -p "$dir"
  make_shape "$shape" "$dir" || { echo "FAIL: cannot make $shape"; exit 1; }
  printf 'kill test\n' > "$dir/notes.txt"
  "$tool" build --stub "$stub" --patch "$dir/p.ips" --description "$dir/notes.txt" --source "$dir/original.bin" \
    -o "$dir/patcher.exe" > "$dir/build.log" 2>&1 || { cat "$dir/build.log"; echo "FAIL: build $shape"; exit 1; }
  cp "$dir/patcher.exe" "$dir/$patcher"
  for backup in no yes; do
    flag=(); [ $backup = yes ] && flag=(--backup)
    # One clean run sets the window the kills fall in.
    cp --sparse=always "$dir/original.bin" "$dir/t.bin"; rm -f "$dir/t.bin.bak"
    start=$(date +%s%N)
    start_run "$dir"
    finish_run
    span=$(( ($(date +%s%N) - start) / 1000 ))  # microseconds
    midrun=0; putback=0; patched=0; left=0
    for ((k = 0; k < kills; ++k)); do
      cp --sparse=always "$dir/original.bin" "$dir/t.bin"; rm -f "$dir/t.bin.bak"
      delay=$(( (RANDOM * 32768 + RANDOM) % (span / (${#drive} ? 2 : 1) + 1) ))
      start_run "$dir"
      if [ -z "$pid" ]; then echo "FAIL: $shape kill $k: no patcher process found"; status=1; finish_run; continue; fi
      if [ $((k % 3)) -eq 1 ]; then
        # The undo journal or the new file has appeared.
        delay=$(( (RANDOM * 32768 + RANDOM) % 40000 ))
        while ! compgen -G "$dir/t.bin.tessel-*" > /dev/null && kill -0 $pid 2>/dev/null; do :; done
      elif [ $((k % 3)) -eq 2 ]; then
        # The journal holds its entries (written in one go with its trailer,
        # just before its flush and the writes in place), or the new file is
        # there; polled with shell builtins only, so the kill follows closely.
        # Within 8 ms: the journal's flush, the writes and the target's flush
        # take a few; a third of these kills come at once.
        delay=$(( (RANDOM * 32768 + RANDOM) % 12000 - 4000 ))
        while ! [[ -s "$dir/t.bin.tessel-undo" ]] && ! compgen -G "$dir/t.bin.tessel-*.tmp" > /dev/null &&
              kill -0 $pid 2>/dev/null; do
          :
        done
      fi
      [ $delay -gt 0 ] && sleep "$(printf '%d.%06d' $((delay / 1000000)) $((delay % 1000000)))"
      kill -9 $pid 2>/dev/null && midrun=$((midrun + 1))
      finish_run
      run_again "$dir"
      code=$?
      grep -q '檔案已還原\|was interrupted' "$dir/again.log" && putback=$((putback + 1))
      if [ $code -eq 0 ] && same_as_expected "$dir/t.bin" "$dir"; then
        patched=$((patched + 1))
      else
        echo "FAIL: $shape backup=$backup kill $k after ${delay}us: exit $code"; cat "$dir/again.log"; status=1
      fi
      if [ $backup = yes ] && [ -e "$dir/t.bin.bak" ] && ! cmp -s "$dir/t.bin.bak" "$dir/original.bin"; then
        echo "FAIL: $shape kill $k: the .bak is not the original"; status=1
      fi
      l=$(leftovers "$dir")
      if [ -n "$l" ]; then left=$((left + 1)); echo "FAIL: $shape kill $k left: $l"; status=1; fi
    done
    printf '%-12s %-7s %6d %10d %12d %12d %10d\n' "$shape" $backup "$kills" $midrun $putback $patched $left
  done
done
exit $status
