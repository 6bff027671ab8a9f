#!/usr/bin/env bash
# kill -9 at random moments of `tessel-pack apply` of a BPS patch on a 64 MiB
# file, 20 times: afterwards the target is always either the original or the
# whole result (never a mixture, never missing), a backup is the original,
# and the next run removes the temporary a kill left and patches correctly.
# Usage: bps_kill.sh TOOL
set -u
tool="$1"
work="$(mktemp -d "${TMPDIR:-/tmp}/tessel-kill.XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"
status=0
fail() { echo "FAIL: $*"; status=1; }

# The patch and the result it must give, made from the actions themselves
# (not by the tool): the source's first half, a literal, a copy of the last
# quarter, a run made by an overlapping TargetCopy, then the first half again.
python3 - <<'PY' || exit 1
import random, zlib
random.seed(64)
n = 64 * 1024 * 1024
src = random.randbytes(n)
def num(v):
    out = bytearray()
    while True:
        x = v & 0x7F; v >>= 7
        if v == 0:
            out.append(0x80 | x); return bytes(out)
        out.append(x); v -= 1
def action(kind, length): return num(((length - 1) << 2) | kind)
def dist(d): return num((-d << 1) | 1 if d < 0 else d << 1)
half, quarter = n // 2, n // 4
lit = b"written by the patch"
out = bytearray(src[:half]) + lit + src[3 * quarter:]
body = bytearray(action(0, half)) + action(1, len(lit)) + lit + action(2, quarter) + dist(3 * quarter)
run = quarter + 1
body += action(3, run) + dist(len(out) - 3)
tail = bytes(out[-3:]) * (run // 3 + 1)
out += tail[:run]
body += action(2, half) + dist(-n)
out += src[:half]
head = b"BPS1" + num(n) + num(len(out)) + num(0)
patch = head + body + zlib.crc32(src).to_bytes(4, "little") + zlib.crc32(out).to_bytes(4, "little")
patch += zlib.crc32(patch).to_bytes(4, "little")
open("original.bin", "wb").write(src)
open("result.bin", "wb").write(out)
open("p.bps", "wb").write(patch)
PY

# One whole run, timed: the kills fall anywhere inside such a run.
cp original.bin t.bin
start=$(date +%s%N)
"$tool" apply p.bps t.bin > run.log 2>&1 || { cat run.log; fail "a whole run failed"; exit 1; }
span=$(( ($(date +%s%N) - start) / 1000000 ))
cmp -s t.bin result.bin || fail "a whole run gave other bytes"
echo "a whole run: $span ms"

patched=0
for i in $(seq 1 20); do
  cmp -s t.bin original.bin || cp original.bin t.bin
  rm -f t.bin.bak
  backup=""; [ $((i % 2)) -eq 0 ] && backup="--backup"
  "$tool" apply p.bps t.bin $backup > /dev/null 2>&1 &
  pid=$!
  sleep "$(awk -v r=$RANDOM -v s="$span" 'BEGIN { printf "%.3f", (r % (s + 50)) / 1000 }')"
  kill -9 "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  if cmp -s t.bin result.bin; then
    patched=$((patched + 1))
    [ -n "$backup" ] && { cmp -s t.bin.bak original.bin || fail "kill $i: the backup is not the original"; }
  elif ! cmp -s t.bin original.bin; then
    fail "kill $i ($backup): the target is neither the original nor the result"
    cp original.bin t.bin
  fi
done
echo "20 kills: $patched after the run had finished, $((20 - patched)) before"

# The next run takes the leftovers away and patches.
cmp -s t.bin original.bin || cp original.bin t.bin
"$tool" apply p.bps t.bin > run.log 2>&1 || { cat run.log; fail "the run after the kills failed"; }
cmp -s t.bin result.bin || fail "the run after the kills gave other bytes"
left=$(ls | grep -c '\.tessel-.*\.tmp$')
[ "$left" -eq 0 ] || fail "$left temporaries left after the next run"
[ $status -eq 0 ] && echo "bps_kill: the original survived every kill"
exit $status
