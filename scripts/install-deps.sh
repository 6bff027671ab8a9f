#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Idempotent and
# quick when everything is present: apt-get runs only for missing packages.
set -euo pipefail

packages=(
  cmake ninja-build make python3 ccache
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-i686
  clang libclang-rt-14-dev googletest libgtest-dev
  wine64 xvfb xauth imagemagick xdotool
  fonts-wqy-microhei fonts-liberation
  locales zip unzip
  debootstrap
  zlib1g-dev libz-mingw-w64-dev  # the bench: zlib's crc32 beside the target check's
  libdivsufsort-dev
)
# wine names Unix files through the glibc locale: without the locale a
# Chinese or accented file name cannot be opened by a Windows program.
locales=(zh_CN zh_TW ja_JP en_US)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
if [ ${#missing[@]} -ne 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
for l in "${locales[@]}"; do
  locale -a 2>/dev/null | grep -qx "$l.utf8" || { echo "generating locale $l.UTF-8"; $SUDO localedef -i "$l" -f UTF-8 "$l.UTF-8"; }
done
# The source of libdivsufsort for the statically linked tools
# (cmake/divsufsort.cmake); the native build links Debian's shared library.
"$(dirname "$0")/fetch-divsufsort.sh" || echo "warning: no libdivsufsort source: the static and Windows tools sort suffixes with the in-tree builder" >&2
