#!/usr/bin/env bash
# A patcher built by tessel-pack, run as a user would run it (the program
# under wine64 in code page 936, driven through its window by tessel-drive),
# leaves exactly the bytes that `tessel-pack apply` leaves, shows the
# description it was given, and reports the same message. A hand-made
# patcher with a cut patch is refused by both, targets untouched.
# Usage: program_agrees.sh NATIVE_TOOL BUILD_DIR SOURCE_DIR
set -u
abs() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
tool="$(abs "$1")"; build="$(cd "$2" && pwd)"; src="$(cd "$3" && pwd)"
winerun="$src/scripts/wine-run"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
status=0
fail() { echo "FAIL: $*"; status=1; }

# Data records, an overlap, runs of 0 and 3 bytes, growth past the end with
# a gap, then an end marker with a truncation size of 0x2000.
printf 'PATCH\x00\x00\x10\x00\x04ABCD\x00\x00\x12\x00\x01z\x00\x00\x40\x00\x00\x00\x00\x11\x00\x00\x50\x00\x00\x00\x03\xFF\x00\x1F\xF0\x00\x03end\x00\x30\x00\x00\x02EFEOF\x00\x20\x00' > p.ips
printf '補丁說明：第一行\n第二行，共三行\n最後一行' > notes.txt
"$tool" build --stub "$build/tessel-stub.exe" --patch p.ips --description notes.txt -o patcher.exe > build.log 2>&1 \
  || { cat build.log; fail "tessel-pack build"; exit 1; }
head -c 4096 /dev/urandom > a.bin
cp a.bin b.bin
cp a.bin original.bin

env LC_ALL=zh_CN.UTF-8 "$winerun" "$build/tessel-drive.exe" --backup patcher.exe a.bin > drive.log 2>&1
drive=$?
"$tool" apply patcher.exe b.bin --backup > apply.log 2>&1
applied=$?
cat drive.log apply.log
[ $drive -eq 0 ] || fail "the program run did not complete (tessel-drive exit $drive)"
[ $applied -eq 0 ] || fail "tessel-pack apply exit $applied"
cmp a.bin b.bin || fail "the program and tessel-pack apply left different targets"
cmp a.bin.bak b.bin.bak || fail "different backups"
cmp original.bin a.bin.bak || fail "the backup is not the old target"
cmp -s original.bin a.bin && fail "the target did not change"
[ "$(stat -c %s a.bin)" -eq 8192 ] || fail "the truncation size was not applied"
grep -q '完成! 總用時:[0-9]* ms' drive.log || fail "the program did not report success"
grep -q '^完成! 總用時:[0-9]* ms$' apply.log || fail "tessel-pack did not report the program's message"
# The window's description box shows the text as written (its line breaks
# are CR LF, which the build made of the file's LF).
sed -n '/^description:$/,/^typed:/p' drive.log | sed '1d;$d' | tr -d '\r' > shown.txt
printf '%s\n' "$(cat notes.txt)" | cmp - shown.txt || fail "the program shows another description"

# A payload whose patch is cut inside its second record.
printf 'PATCH\x00\x00\x10\x00\x02hi\x00\x00\x20\x00\x05abc' > cut.ips
le32() { printf "\\x%02x\\x%02x\\x%02x\\x%02x" $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24)); }
{ cat "$build/tessel-stub.exe"; printf 'cut'; printf "$(le32 7)"; cat cut.ips; printf "$(le32 $(($(stat -c %s cut.ips) + 4)))"; } > cut.exe
cp original.bin c.bin
cp original.bin d.bin
env LC_ALL=zh_CN.UTF-8 "$winerun" "$build/tessel-drive.exe" cut.exe c.bin > drive-cut.log 2>&1
"$tool" apply cut.exe d.bin > apply-cut.log 2>&1
refused=$?
cat drive-cut.log apply-cut.log
grep -A1 '^description:$' drive-cut.log | grep -q '^cut' || fail "the hand-made payload was not read"
grep -q '程序錯誤!' drive-cut.log || fail "the program did not refuse the cut patch"
[ $refused -eq 1 ] || fail "tessel-pack apply did not refuse the cut patch (exit $refused)"
grep -q '程序錯誤! (record 2 at block offset 0xC' apply-cut.log || fail "tessel-pack did not give the program's message and the cut record"
cmp original.bin c.bin || fail "the program changed the target of a cut patch"
cmp original.bin d.bin || fail "tessel-pack changed the target of a cut patch"

# A patcher made from an original and a modified file: the program turns a
# copy of the original into the modified file, and says a copy of the
# modified file is already patched, leaving it alone.
head -c 70000 /dev/urandom > pair-a.bin
{ head -c 30000 pair-a.bin; printf 'translated'; tail -c +30011 pair-a.bin; head -c 5000 /dev/zero; printf 'end'; } > pair-b.bin
"$tool" build --stub "$build/tessel-stub.exe" --original pair-a.bin --modified pair-b.bin --description notes.txt \
  -o pair.exe > pair-build.log 2>&1 || { cat pair-build.log; fail "tessel-pack build --original --modified"; }
cp pair-a.bin pair-t.bin
cp pair-b.bin pair-u.bin
env LC_ALL=zh_CN.UTF-8 "$winerun" "$build/tessel-drive.exe" pair.exe pair-t.bin > drive-pair.log 2>&1
env LC_ALL=zh_CN.UTF-8 "$winerun" "$build/tessel-drive.exe" pair.exe pair-u.bin > drive-patched.log 2>&1
cat pair-build.log drive-pair.log drive-patched.log
cmp pair-t.bin pair-b.bin || fail "the patcher made from the pair did not give the modified file"
grep -q '完成! 總用時:[0-9]* ms' drive-pair.log || fail "the program did not report success on the original"
grep -q '此檔案已經修補過了!' drive-patched.log || fail "the program did not say the modified file is already patched"
cmp pair-u.bin pair-b.bin || fail "the program changed the modified file"
# The same pair as a BPS patcher.
"$tool" build --stub "$build/tessel-stub.exe" --original pair-a.bin --modified pair-b.bin --format bps \
  --description notes.txt -o pair-bps.exe > pair-bps-build.log 2>&1 || { cat pair-bps-build.log; fail "build --format bps"; }
cp pair-a.bin pair-v.bin
env LC_ALL=zh_CN.UTF-8 "$winerun" "$build/tessel-drive.exe" pair-bps.exe pair-v.bin > drive-pair-bps.log 2>&1
cat pair-bps-build.log drive-pair-bps.log
cmp pair-v.bin pair-b.bin || fail "the BPS patcher made from the pair did not give the modified file"

[ $status -eq 0 ] && echo "the program and tessel-pack apply agree"
exit $status
