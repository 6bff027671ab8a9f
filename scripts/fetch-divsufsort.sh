#!/usr/bin/env bash
# Fetches the source of Debian's libdivsufsort (the package libdivsufsort-dev
# is built from) into DEST (default /var/cache/tessel/src), for the tools
# that link it statically: the released Linux tool and the Windows tools
# (Debian ships the library only shared, and only for Linux).
# `apt-get source` needs deb-src entries: they are made from the machine's own
# deb entries in a private apt state under DEST, so the system's apt
# configuration is left as it is. Quick when the source is already there.
set -euo pipefail
dest="${1:-/var/cache/tessel/src}"
[ -f "$dest/libdivsufsort/lib/divsufsort.c" ] && exit 0
mkdir -p "$dest"
exec 9> "$dest/.fetch.lock"
flock 9
[ -f "$dest/libdivsufsort/lib/divsufsort.c" ] && exit 0

apt="$dest/apt"
rm -rf "$apt"
mkdir -p "$apt/lists/partial" "$apt/sources.list.d"
: > "$apt/sources.list"
# One-line lists ("deb URI suite components") and deb822 files ("Types: deb").
for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$list" ] && sed -n 's/^deb \(.*\)$/deb-src \1/p' "$list" >> "$apt/sources.list"
done
for sources in /etc/apt/sources.list.d/*.sources; do
  [ -f "$sources" ] && sed 's/^Types:.*$/Types: deb-src/' "$sources" > "$apt/sources.list.d/$(basename "$sources")"
done
options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/sources.list.d"
         -o "Dir::State::Lists=$apt/lists" -o "APT::Sandbox::User=root")
echo "fetching the source of libdivsufsort (Debian's package, deb-src)"
apt-get "${options[@]}" update -qq
work="$(mktemp -d "$dest/fetch.XXXXXX")"
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get "${options[@]}" source --download-only -qq libdivsufsort > /dev/null)
tar -C "$work" -xf "$work"/libdivsufsort_*.orig.tar.*
# Debian's own change (debian/patches) touches only the upstream build
# files, which this build does not use.
mv "$work"/libdivsufsort-*/ "$dest/libdivsufsort"
rm -rf "$apt"
