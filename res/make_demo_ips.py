#!/usr/bin/env python3
"""Writes res/demo.ips, the demo patch the built tessel.exe carries.

"PATCH" and three data records of 2, 57 and 72 bytes at 0x00018E, 0x00F9DB
and 0x1BFFB8: 151 bytes, no "EOF" end marker (the program reads records to
the end of the block). The last record ends exactly at 0x1C0000, so a
shorter target grows to 1.75 MiB. No data byte is zero, so on a zero-filled
target every one of the 131 bytes visibly changes.

Usage: res/make_demo_ips.py [OUT.ips]   (default: res/demo.ips beside this file)
"""
import os
import struct
import sys

RECORDS = [
    (0x00018E, bytes([0xEB, 0xFE])),
    (0x00F9DB, b"Tessel demo patch: record 2 of 3, 57 bytes at 0x00F9DB.\r\n"),
    (0x1BFFB8, b"Tessel demo patch: record 3 of 3, 72 bytes, ends at 0x1C0000, exactly.\r\n"),
]


def build():
    out = bytearray(b"PATCH")
    for offset, data in RECORDS:
        assert 0 < len(data) <= 0xFFFF and 0 not in data
        out += struct.pack(">I", offset)[1:] + struct.pack(">H", len(data)) + data
    return bytes(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "demo.ips")
    data = build()
    sizes = [len(d) for _, d in RECORDS]
    assert sizes == [2, 57, 72] and len(data) == 151, (sizes, len(data))
    with open(path, "wb") as f:
        f.write(data)
    print(f"{path}: {len(data)} bytes")


if __name__ == "__main__":
    main()
