#!/usr/bin/env bash
# The Windows build of tessel-pack (under wine64) and the native build give
# the same results on the same inputs: exit codes, standard output and error
# byte for byte, and the files they write. The elapsed milliseconds of apply
# are the only thing allowed to differ. The Windows side runs with code page
# 1252 (LC_ALL=en_US.UTF-8) on Chinese and accented file names: it reads its
# arguments as UTF-16 and opens files through the wide API.
# Usage: native_windows_agree.sh NATIVE_TOOL WINDOWS_TOOL SOURCE_DIR STUB.exe
set -u
abs() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
native="$(abs "$1")"; windows="$(abs "$2")"; src="$(cd "$3" && pwd)"; stub="$(abs "$4")"
winerun="$src/scripts/wine-run"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Inputs, the same for both sides.
mkdir "$work/in"
cp "$stub" "$work/in/stub.exe"
cp "$src/res/demo.ips" "$work/in/demo.ips"
cp "$src/res/demo-description.txt" "$work/in/notes.txt"
head -c 40 "$src/res/demo.ips" > "$work/in/cut.ips"
printf 'PATCH\x00\x00\x10\x00\x02hi\x00\x00\x20\x00\x00\x00\x05\xEEEOF\x00\x00\x30' > "$work/in/trunc.ips"
printf '補丁說明\n第二行\n' > "$work/in/notes950.txt"
printf 'Größe: 5 €\nzweite Zeile 中\n' > "$work/in/notes1252.txt"
head -c 1000 /dev/zero > "$work/in/target.bin"
head -c 100 /dev/urandom > "$work/in/small.bin"
cp "$src/res/demo.ips" "$work/in/補丁.ips"
printf '中文說明\n第二行\n' > "$work/in/說明.txt"
head -c 1000 /dev/zero > "$work/in/Größe é.bin"
# A pair for create: a block moved, bytes inserted, a stretch rewritten
# (the Windows tool sorts suffixes in-tree, the native one with the
# library: the patches must still be the same bytes).
head -c 300000 /dev/urandom > "$work/in/orig.bin"
{ head -c 1000 "$work/in/orig.bin"; head -c 777 /dev/urandom; tail -c +50001 "$work/in/orig.bin" | head -c 200000;
  tail -c +1001 "$work/in/orig.bin" | head -c 49000; printf 'translated text'; tail -c 50000 "$work/in/orig.bin"; } > "$work/in/mod.bin"
cp -r "$work/in" "$work/native"
cp -r "$work/in" "$work/windows"

# run SIDE STDIN-FILE ARGS...: appends the case, its exit code, stdout and
# stderr to SIDE.log, run inside the side's folder with relative paths.
run() {
  local side="$1" input="$2"; shift 2
  (
    cd "$work/$side"
    echo "=== $*"
    if [ "$side" = native ]; then
      "$native" "$@" < "$input" > ../out 2> ../err
    else
      LC_ALL=en_US.UTF-8 "$winerun" "$windows" "$@" < "$input" > ../out 2> ../err
    fi
    echo "exit $?"
    echo "--- stdout"; cat ../out
    echo "--- stderr"; cat ../err
  ) | sed -E 's/(總用時:)[0-9]+ ms/\1N ms/' >> "$work/$side.log"
}

for side in native windows; do
  run $side /dev/null --version
  run $side /dev/null --help
  run $side /dev/null build --help
  run $side /dev/null build --stub stub.exe --patch demo.ips --description notes.txt -o demo.exe
  run $side /dev/null inspect demo.exe
  run $side notes950.txt build --stub demo.exe --patch trunc.ips --description - --codepage 950 -o tw.exe
  run $side /dev/null inspect tw.exe --codepage 950
  run $side /dev/null inspect trunc.ips
  run $side /dev/null build --stub stub.exe --patch demo.ips --description notes1252.txt --codepage 1252 -o x.exe
  run $side /dev/null build --stub stub.exe --patch cut.ips --description notes.txt -o x.exe
  run $side /dev/null build --stub stub.exe --patch none.ips --description notes.txt -o x.exe
  run $side /dev/null build --stub notes.txt --patch demo.ips --description notes.txt -o x.exe
  run $side /dev/null build --stub stub.exe --patch demo.ips --description notes.txt -o nodir/x.exe
  run $side /dev/null build --stub stub.exe --patch demo.ips --description notes.txt --codepage 37 -o x.exe
  run $side /dev/null inspect stub.exe
  run $side /dev/null apply demo.exe target.bin --backup
  run $side /dev/null apply tw.exe small.bin
  run $side /dev/null apply cut.ips small.bin
  run $side /dev/null apply demo.exe missing.bin
  run $side /dev/null build --patch 補丁.ips --description 說明.txt -o 補丁機.exe
  run $side /dev/null inspect 補丁機.exe
  run $side /dev/null apply 補丁機.exe "Größe é.bin" --backup
  run $side /dev/null build --patch 補丁.ips --description 說明.txt -o 說明.txt
  run $side /dev/null build --stub 補丁.ips --patch 補丁.ips --description 說明.txt -o x.exe
  run $side /dev/null create --original orig.bin --modified mod.bin -o pair.ips
  run $side /dev/null create --original orig.bin --modified mod.bin -o pair.bps
  run $side /dev/null create --original orig.bin --modified orig.bin -o same.bps
  run $side /dev/null build --original orig.bin --modified mod.bin --description notes.txt -o pair.exe
done

status=0
cases=$(grep -c '^===' "$work/native.log")
if ! diff -u "$work/native.log" "$work/windows.log"; then
  echo "FAIL: the two builds printed different things"; status=1
fi
rm -f "$work/native.log" "$work/windows.log"
if ! diff -r "$work/native" "$work/windows"; then
  echo "FAIL: the two builds left different files"; status=1
fi
# The runs must have done their work, not merely failed alike.
for f in demo.exe tw.exe target.bin.bak 補丁機.exe "Größe é.bin.bak" pair.ips pair.bps pair.exe; do
  [ -s "$work/native/$f" ] || { echo "FAIL: native run left no $f"; status=1; }
done
[ "$(stat -c %s "$work/native/target.bin")" -eq $((0x1C0000)) ] || { echo "FAIL: target not patched"; status=1; }
[ "$(stat -c %s "$work/native/small.bin")" -eq 48 ] || { echo "FAIL: truncation not applied"; status=1; }
[ $status -eq 0 ] && echo "native and Windows tessel-pack agree on all $cases cases"
exit $status
