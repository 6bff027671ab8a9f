#!/usr/bin/env bash
# Writes the release archives to DIST:
#   tessel-VERSION-windows-x86.zip      tessel-pack.exe (i686, stub inside),
#                                       tessel-demo.exe, README.txt, LICENSE.txt
#   tessel-VERSION-linux-x86_64.tar.gz  tessel-pack (static, same stub),
#                                       README.txt, LICENSE
#   SHA256SUMS
# The bytes are reproducible: the programs are linked without time stamps,
# and the archives hold fixed dates (the last commit's time, or
# SOURCE_DATE_EPOCH), fixed owners and permissions, and a fixed order.
# Usage: scripts/make-dist.sh BUILD_ROOT DIST VERSION
set -euo pipefail
root="$1" dist="$2" version="$3"
src="$(cd "$(dirname "$0")/.." && pwd)"
epoch="${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct 2>/dev/null || echo 315532800)}"
win="tessel-$version-windows-x86"
linux="tessel-$version-linux-x86_64"

stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$win" "$stage/$linux" "$dist"
guide() { sed "s/@VERSION@/$version/g" "$src/res/publisher-guide.txt"; }
# Windows readers: CR LF lines, and a UTF-8 byte-order mark so Notepad shows
# the Chinese section on any code page.
crlf() { sed 's/$/\r/'; }

install -m 755 "$root/win32/tessel-pack.exe" "$stage/$win/tessel-pack.exe"
install -m 755 "$root/win32/tessel.exe" "$stage/$win/tessel-demo.exe"
{ printf '\xEF\xBB\xBF'; guide | crlf; } > "$stage/$win/README.txt"
crlf < "$src/LICENSE" > "$stage/$win/LICENSE.txt"
install -m 755 "$root/linux-static/tessel-pack" "$stage/$linux/tessel-pack"
guide > "$stage/$linux/README.txt"
cp "$src/LICENSE" "$stage/$linux/LICENSE"
chmod 644 "$stage/$win/README.txt" "$stage/$win/LICENSE.txt" "$stage/$linux/README.txt" "$stage/$linux/LICENSE"
chmod 755 "$stage/$win" "$stage/$linux"
find "$stage" -exec touch -h -d "@$epoch" {} +

rm -f "$dist/$win.zip" "$dist/$linux.tar.gz" "$dist/SHA256SUMS"
out="$(cd "$dist" && pwd)"
# zip keeps local times: UTC makes them the same everywhere. -X leaves out
# the owner ids and the extra time fields; -D the directory entries.
(cd "$stage" && TZ=UTC zip -q -X -D -9 "$out/$win.zip" \
  "$win/tessel-pack.exe" "$win/tessel-demo.exe" "$win/README.txt" "$win/LICENSE.txt")
tar -C "$stage" --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner --format=gnu -cf - "$linux" \
  | gzip -9 -n > "$out/$linux.tar.gz"
(cd "$out" && sha256sum "$win.zip" "$linux.tar.gz" > SHA256SUMS)

echo "dist: $out"
(cd "$out" && ls -l "$win.zip" "$linux.tar.gz" SHA256SUMS && cat SHA256SUMS)
