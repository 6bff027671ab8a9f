#!/bin/sh
# Appends the product stub to a tessel-pack executable (the trailer that
# tools/tessel_pack/embedded_stub.h reads back):
#   OUT = TOOL | STUB | size of STUB (4 bytes, little-endian) | "TSLSTUB1"
# Usage: scripts/embed-stub.sh TOOL STUB OUT
set -eu
tool="$1" stub="$2" out="$3"
size=$(wc -c < "$stub")
byte() { printf "\\$(printf %03o $(( ($size >> $1) & 255 )))"; }
{
  cat "$tool" "$stub"
  byte 0; byte 8; byte 16; byte 24
  printf 'TSLSTUB1'
} > "$out.part"
chmod 755 "$out.part"
mv "$out.part" "$out"
