#!/usr/bin/env bash
# Checks the release archives as a publisher gets them: the listing and the
# checksums, the Linux tool from the tar.gz (static, names its stub, builds a
# patcher without --stub whose stub is byte for byte the product stub), the
# Windows tool from the zip (i686 console program, system DLLs only, the same
# stub embedded; run under 32-bit wine where the machine can), the demo
# patcher, and the x86_64 build of the Windows tool under wine64 making the
# same patcher without --stub.
# Usage: scripts/check-dist.sh BUILD_ROOT DIST VERSION
set -u
root="$(cd "$1" && pwd)" dist="$(cd "$2" && pwd)" version="$3"
src="$(cd "$(dirname "$0")/.." && pwd)"
win="tessel-$version-windows-x86" linux="tessel-$version-linux-x86_64"
stub="$root/win32/tessel-stub.exe" demo="$root/win32/tessel.exe"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "check-dist: FAIL: $*"; fail=1; }
say() { echo "check-dist: $*"; }

(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || bad "SHA256SUMS does not match the archives"
[ "$(unzip -Z1 "$dist/$win.zip" | tr '\n' ' ')" = \
  "$win/tessel-pack.exe $win/tessel-demo.exe $win/README.txt $win/LICENSE.txt " ] || bad "zip listing: $(unzip -Z1 "$dist/$win.zip" | tr '\n' ' ')"
[ "$(tar -tzf "$dist/$linux.tar.gz" | tr '\n' ' ')" = \
  "$linux/ $linux/LICENSE $linux/README.txt $linux/tessel-pack " ] || bad "tar listing: $(tar -tzf "$dist/$linux.tar.gz" | tr '\n' ' ')"
unzip -q "$dist/$win.zip" -d "$work" && tar -xzf "$dist/$linux.tar.gz" -C "$work" || bad "cannot unpack"
grep -q "製作自動套用的 IPS 或 BPS 補丁程式" "$work/$linux/README.txt" || bad "the guide has no Traditional-Chinese section"
head -c 3 "$work/$win/README.txt" | cmp -s - <(printf '\xEF\xBB\xBF') && grep -q $'\r$' "$work/$win/README.txt" \
  || bad "the Windows README.txt is not UTF-8 with a byte-order mark and CR LF lines"

# The Linux tool, run from the archive.
tool="$work/$linux/tessel-pack"
readelf -l "$tool" | grep -q INTERP && bad "the Linux tessel-pack is not statically linked"
stub_size=$(stat -c %s "$stub")
stub_sum=$(sha256sum "$stub" | cut -d' ' -f1)
"$tool" --version | grep -qx "stub: Tessel $version stub for 32-bit Windows, $stub_size bytes, SHA-256 $stub_sum" \
  || bad "the Linux tool's --version does not name the product stub: $("$tool" --version | tail -1)"
cp "$src/res/demo.ips" "$src/res/demo-description.txt" "$work/"
(cd "$work" && "$tool" build --patch demo.ips --description demo-description.txt --codepage 936 -o linux-made.exe >/dev/null) \
  || bad "the Linux tool cannot build a patcher without --stub"
head -c "$stub_size" "$work/linux-made.exe" | cmp -s - "$stub" || bad "the Linux tool's patcher does not begin with the product stub"
cmp -s "$work/linux-made.exe" "$demo" || bad "the Linux tool's patcher differs from tessel.exe made with --stub"

# The Windows tool from the zip (i686: inspected, and run below where this
# machine executes i386 code).
exe="$work/$win/tessel-pack.exe"
i686-w64-mingw32-objdump -f "$exe" | grep -q "file format pei-i386" || bad "tessel-pack.exe is not a PE32 i386 image"
i686-w64-mingw32-objdump -p "$exe" | grep -qE "^Subsystem[[:space:]]+00000003" || bad "tessel-pack.exe is not a console program"
for dll in $(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z'); do
  case "$dll" in kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|shell32.dll) ;; *) bad "tessel-pack.exe imports $dll";; esac
done
size=$(stat -c %s "$exe")
tail -c "$((stub_size + 12))" "$exe" | head -c "$stub_size" | cmp -s - "$stub" || bad "tessel-pack.exe does not carry the product stub"
tail -c 8 "$exe" | grep -q TSLSTUB1 || bad "tessel-pack.exe has no embedded-stub trailer"
cmp -s "$work/$win/tessel-demo.exe" "$demo" || bad "tessel-demo.exe is not tessel.exe"

# The same tool built for x86_64 Windows, under wine64, without --stub (both
# in the form tessel.exe is made in: code page 936, no extension).
# (In the win64 tree's prefix, with a wineserver of its own.)
export WINEPREFIX="$root/win64/wineprefix" TESSEL_WINEPREFIX="$root/win64/wineprefix" WINEDEBUG=-all
"$src/scripts/with-wineserver" "$src/scripts/wine-run" "$root/win64/tessel-pack.exe" build --patch "$work/demo.ips" \
  --description "$work/demo-description.txt" --codepage 936 -o "$work/wine-made.exe" >"$work/wine.log" 2>&1 \
  || bad "the Windows tool under wine64 cannot build a patcher without --stub: $(tail -2 "$work/wine.log")"
cmp -s "$work/wine-made.exe" "$demo" || bad "the Windows tool's patcher differs from tessel.exe made with --stub"

# The zip's own tessel-pack.exe under 32-bit wine in the i386 root: --help
# and apply print what the Linux tool prints, and a patcher made without
# --stub is tessel.exe.
if why="$("$src/scripts/i386-root" probe 2>&1)"; then
  mkdir "$work/l" "$work/w"
  head -c 4096 /dev/zero >"$work/l/target.bin"
  cp "$work/l/target.bin" "$work/w/target.bin"
  # A pair for create: both released tools link libdivsufsort built from
  # Debian's source; their BPS patches must be the same bytes.
  head -c 200000 /dev/urandom >"$work/a.bin"
  { head -c 50000 "$work/a.bin"; head -c 999 /dev/urandom; tail -c +50001 "$work/a.bin"; } >"$work/b.bin"
  cp "$work/linux-made.exe" "$work/l/p.exe"
  (cd "$work/l" && "$tool" --help >help.txt && "$tool" apply p.exe target.bin >apply.txt &&
   "$tool" create --original ../a.bin --modified ../b.bin -o p.bps >/dev/null)
  (cd "$work/w" && "$src/scripts/i386-root" run --bind "$work" --prefix "$root/win32/wineprefix" -- bash -c '
     "$1" "$2" --help >help.txt &&
     "$1" "$2" build --patch ../demo.ips --description ../demo-description.txt --codepage 936 -o p.exe &&
     "$1" "$2" apply p.exe target.bin >apply.txt &&
     "$1" "$2" create --original ../a.bin --modified ../b.bin -o p.bps >/dev/null' i686 "$src/scripts/wine-run" "$exe") \
    >"$work/wine32.log" 2>&1 || bad "the zip's tessel-pack.exe under 32-bit wine failed: $(tail -2 "$work/wine32.log")"
  cmp -s "$work/w/p.exe" "$demo" || bad "the zip's tessel-pack.exe made another patcher than tessel.exe"
  cmp -s "$work/l/help.txt" "$work/w/help.txt" || bad "the zip's tessel-pack.exe --help differs from the Linux tool's"
  sed -E 's/[0-9]+ ms/N ms/' "$work/l/apply.txt" | cmp -s - <(sed -E 's/[0-9]+ ms/N ms/' "$work/w/apply.txt") \
    || bad "the zip's tessel-pack.exe apply printed another report than the Linux tool"
  cmp -s "$work/l/target.bin" "$work/w/target.bin" || bad "the zip's tessel-pack.exe patched a target differently"
  cmp -s "$work/l/p.bps" "$work/w/p.bps" || bad "the zip's tessel-pack.exe made another BPS patch than the Linux tool"
  [ "$(stat -c %s "$work/l/p.bps")" -lt 1200 ] || bad "the Linux tool's BPS patch of a 999-byte insertion is not small"
  cmp -s "$work/w/target.bin" <(head -c 4096 /dev/zero) && bad "the zip's tessel-pack.exe left its target as it was"
  say "the zip's tessel-pack.exe ran under 32-bit wine: --help, build, apply and create agree with the Linux tool"
else
  say "the zip's tessel-pack.exe was not run: ${why#i386-root: }"
fi

say "$win.zip:"; unzip -Zl "$dist/$win.zip" | sed -n 's/^-[^ ]* *[^ ]* *[^ ]* *\([0-9]*\) .* \([^ ]*\)$/  \1  \2/p'
say "$linux.tar.gz:"; tar -tvzf "$dist/$linux.tar.gz" | awk '{print "  " $3 "  " $6}'
say "embedded stub: $stub_size bytes, SHA-256 $stub_sum"
[ $fail -eq 0 ] && say "all checks passed" || say "some checks FAILED"
exit $fail
