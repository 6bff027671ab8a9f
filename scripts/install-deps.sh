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
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
