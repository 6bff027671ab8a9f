#!/bin/bash
# Two races against `tessel-pack apply` (root), each tried TRIES times:
#  1. links: another user (nobody) plants links to a root-owned victim file in
#     a shared, sticky folder (like /tmp) at the name the backup's temporary
#     had (TARGET.bak.partial), at guessed names of the new temporaries, and
#     at every temporary it sees appear, while root patches with --backup.
#     Counted: runs after which the victim changed (a write through a link),
#     and runs whose backup is not the original.
#  2. swap: a verified patcher (built with --source) on its original, while
#     another process renames a file that is not the original over the
#     target at a random moment of the run. Counted: runs in which the file
#     that is not the original ends patched (patched without --force).
# Usage: bench/races.sh [TESSEL_PACK] [TRIES]   (as root)
set -u
tool=$(realpath "${1:-build/host/tessel-pack}")
tries=${2:-100}
work=$(mktemp -d /tmp/tessel-races.XXXXXX)
trap 'rm -rf "$work"' EXIT
shared=$work/shared
mkdir -p "$shared" && chmod 1777 "$shared" && chmod 755 "$work"
export ASAN_OPTIONS=detect_leaks=0

python3 - "$work" <<'PY'
import os, sys, random, struct
work = sys.argv[1]
random.seed(25)
orig = bytes(random.getrandbits(8) for _ in range(1 << 16)) * 64   # 4 MiB
other = bytes((b + 1) & 0xFF for b in orig)
open(f"{work}/original", "wb").write(orig)
open(f"{work}/other", "wb").write(other)
open(f"{work}/victim", "wb").write(b"root's own file\n")
recs = b"".join(struct.pack(">IH", off, 4)[1:] + b"TSSL" for off in range(0, 4 << 20, 1 << 18))
open(f"{work}/p.ips", "wb").write(b"PATCH" + recs + b"EOF")
open(f"{work}/notes.txt", "w").write("races\n")
PY
chmod 644 "$work/victim"
"$tool" build --patch "$work/p.ips" --description "$work/notes.txt" --source "$work/original" \
    -o "$work/verified.exe" > /dev/null || exit 1

# --- 1. planted links ------------------------------------------------------
cat > "$work/planter.py" <<'PY'
import os, sys, random, string
shared, victim, stop = sys.argv[1], sys.argv[2], sys.argv[3]
letters = string.ascii_lowercase + string.digits
old = os.path.join(shared, "t.bin.bak.partial")
n = 0
while True:
    # The old temporary's name, as fast as the loop goes: root deletes it
    # and creates it again a few system calls later.
    try:
        os.symlink(victim, old)
    except OSError:
        pass
    n += 1
    if n % 256:
        continue
    if os.path.exists(stop):
        break
    # Now and then: guesses at the new names, and every temporary in sight.
    names = ["t.bin.bak.tessel-%s.tmp" % "".join(random.choice(letters) for _ in range(6)) for _ in range(8)]
    try:
        names += [f for f in os.listdir(shared) if f.endswith(".tmp")]
    except OSError:
        pass
    for f in names:
        p = os.path.join(shared, f)
        try:
            if os.path.lexists(p) and not os.path.islink(p):
                os.unlink(p)          # refused in a sticky folder for root's files
            os.symlink(victim, p)
        except OSError:
            pass
PY
through=0; badbackup=0; refused=0
for i in $(seq "$tries"); do
    rm -f "$shared"/t.bin* "$work/stop"
    cp "$work/original" "$shared/t.bin"
    setpriv --reuid=nobody --regid=nogroup --clear-groups /usr/bin/python3 "$work/planter.py" "$shared" "$work/victim" "$work/stop" &
    planter=$!
    sleep 0.0$((RANDOM % 5))
    "$tool" apply "$work/p.ips" "$shared/t.bin" --backup > /dev/null 2>&1 || refused=$((refused + 1))
    touch "$work/stop"; wait "$planter"
    cmp -s "$work/victim" <(printf "root's own file\n") || { through=$((through + 1)); printf "root's own file\n" > "$work/victim"; }
    if [ -e "$shared/t.bin.bak" ] && ! { [ -f "$shared/t.bin.bak" ] && [ ! -L "$shared/t.bin.bak" ] && cmp -s "$shared/t.bin.bak" "$work/original"; }; then
        badbackup=$((badbackup + 1))
    fi
done
echo "links:  $tries runs: $through wrote through a link, $badbackup left a backup that is not the original, $refused refused or failed"

# --- 2. swapped target -----------------------------------------------------
python3 - "$work" <<'PY'
import os, struct, sys
work = sys.argv[1]
def patched(b):
    b = bytearray(b)
    for off in range(0, 4 << 20, 1 << 18): b[off:off + 4] = b"TSSL"
    return bytes(b)
open(f"{work}/other.patched", "wb").write(patched(open(f"{work}/other", "rb").read()))
PY
start=$(date +%s%N); cp "$work/original" "$shared/t.bin"; "$tool" apply "$work/verified.exe" "$shared/t.bin" > /dev/null 2>&1
runms=$(( ($(date +%s%N) - start) / 1000000 ))
wrong=0; original=0; declined=0; during=0
for i in $(seq "$tries"); do
    rm -f "$shared"/t.bin* "$shared/decoy"
    cp "$work/original" "$shared/t.bin"; cp "$work/other" "$shared/decoy"
    ln "$shared/t.bin" "$work/checked"
    delay=$(awk -v r=$RANDOM -v t="$runms" 'BEGIN { printf "%.4f", r / 32768 * t / 2000 }')

    (sleep "$delay"; mv "$shared/decoy" "$shared/t.bin"; date +%s%N > "$work/swapped") &
    swapper=$!
    "$tool" apply "$work/verified.exe" "$shared/t.bin" > /dev/null 2>&1 || declined=$((declined + 1))
    ended=$(date +%s%N)
    wait "$swapper"
    [ "$(cat "$work/swapped")" -lt "$ended" ] && during=$((during + 1))
    cmp -s "$shared/t.bin" "$work/other.patched" && wrong=$((wrong + 1))
    cmp -s "$work/checked" "$work/original" || original=$((original + 1))
    rm -f "$work/checked"
done
echo "swap:    $tries runs (run ${runms} ms, swap at a random moment of it, $during of them before the run ended): $wrong patched the file that is not the original, $original patched the original, $declined refused"
