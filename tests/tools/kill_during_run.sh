#!/usr/bin/env bash
# kill -9 at random moments of a verified patcher's run (`tessel-pack apply`
# with the original's size and CRC-32 carried), over the bench's shapes,
# with and without --backup; then the same command again. Afterwards every
# target must be fully patched, the .bak (when made) must be the original,
# and nothing may be left beside the target (no undo journal, no temporary).
# Prints one row per shape and backup setting. A third of the kills fall at
# a random moment of the whole run (most of which is reading and checking
# the target), a third within 40 ms of the undo journal appearing (while it
# is written), a third within 20 ms of its header being written (in the
# writes to the target themselves).
#
# Usage: kill_during_run.sh TOOL STUB KILLS [SHAPE...]
#   KILLS  kills per row; shapes: sparse256 small200k translation runs rewrite
#          (default: all but sparse256)
set -u
tool="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
stub="$2"; kills="$3"; shift 3
shapes=("$@")
[ ${#shapes[@]} -eq 0 ] && shapes=(small200k translation runs rewrite)
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0

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
if name == "sparse256":
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
  (cd "$1" && ls -A | grep -E '^t\.bin\.(tessel-|bak\.partial)' || true)
}

printf '%-12s %-7s %6s %10s %12s %12s %10s\n' shape backup kills "mid-run" "put back" "patched" leftovers
for shape in "${shapes[@]}"; do
  dir="$work/$shape"; mkdir -p "$dir"
  make_shape "$shape" "$dir" || { echo "FAIL: cannot make $shape"; exit 1; }
  printf 'kill test\n' > "$dir/notes.txt"
  "$tool" build --stub "$stub" --patch "$dir/p.ips" --description "$dir/notes.txt" --source "$dir/original.bin" \
    -o "$dir/patcher.exe" > "$dir/build.log" 2>&1 || { cat "$dir/build.log"; echo "FAIL: build $shape"; exit 1; }
  for backup in no yes; do
    flag=(); [ $backup = yes ] && flag=(--backup)
    # One clean run sets the window the kills fall in.
    cp --sparse=always "$dir/original.bin" "$dir/t.bin"; rm -f "$dir/t.bin.bak"
    start=$(date +%s%N)
    "$tool" apply "$dir/patcher.exe" "$dir/t.bin" "${flag[@]}" > /dev/null 2>&1
    span=$(( ($(date +%s%N) - start) / 1000 ))  # microseconds
    midrun=0; putback=0; patched=0; left=0
    for ((k = 0; k < kills; ++k)); do
      cp --sparse=always "$dir/original.bin" "$dir/t.bin"; rm -f "$dir/t.bin.bak"
      delay=$(( (RANDOM * 32768 + RANDOM) % (span + 1) ))
      "$tool" apply "$dir/patcher.exe" "$dir/t.bin" "${flag[@]}" > /dev/null 2>&1 &
      pid=$!
      if [ $((k % 3)) -eq 1 ]; then
        delay=$(( (RANDOM * 32768 + RANDOM) % 40000 ))
        while [ ! -e "$dir/t.bin.tessel-undo" ] && kill -0 $pid 2>/dev/null; do :; done
      elif [ $((k % 3)) -eq 2 ]; then
        delay=$(( (RANDOM * 32768 + RANDOM) % 20000 ))
        while [ "$(head -c 8 "$dir/t.bin.tessel-undo" 2>/dev/null | tr -d "\\0")" != TSLUNDO1 ] && kill -0 $pid 2>/dev/null; do
          :
        done
      fi
      sleep "$(printf '0.%06d' "$delay")" 2>/dev/null || sleep "$((delay / 1000000))"
      kill -9 $pid 2>/dev/null && midrun=$((midrun + 1))
      wait $pid 2>/dev/null
      "$tool" apply "$dir/patcher.exe" "$dir/t.bin" "${flag[@]}" > "$dir/again.log" 2>&1
      code=$?
      grep -q '檔案已還原' "$dir/again.log" && putback=$((putback + 1))
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
