#!/usr/bin/env python3
"""Appends a payload to a patcher stub: stub + description + L2 + patch + L1,
both lengths unsigned 32-bit little-endian and counting their own 4 bytes.

The description is read as UTF-8 and converted to the given code page
(default 936); a character the code page cannot hold is refused, naming it
and its line. The patch must begin with "PATCH". The build uses this until
the publisher tool (tessel-pack) takes over.

Usage: pack-payload.py STUB PATCH DESCRIPTION OUT [CODEPAGE]
"""
import os
import struct
import sys


def main():
    if len(sys.argv) not in (5, 6):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    stub_path, patch_path, text_path, out_path = sys.argv[1:5]
    codepage = int(sys.argv[5]) if len(sys.argv) == 6 else 936
    with open(stub_path, "rb") as f:
        stub = f.read()
    with open(patch_path, "rb") as f:
        patch = f.read()
    with open(text_path, "rb") as f:
        raw = f.read()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        print(f"{text_path}: not UTF-8 at byte {e.start}", file=sys.stderr)
        return 1
    try:
        description = text.encode(f"cp{codepage}")
    except UnicodeEncodeError as e:
        line = text.count("\n", 0, e.start) + 1
        print(f"{text_path}: line {line}: {text[e.start]!r} (U+{ord(text[e.start]):04X}) "
              f"does not exist in code page {codepage}", file=sys.stderr)
        return 1
    except LookupError:
        print(f"unknown code page {codepage}", file=sys.stderr)
        return 2
    if not patch.startswith(b"PATCH"):
        print(f"{patch_path}: does not begin with PATCH", file=sys.stderr)
        return 1
    payload = (description + struct.pack("<I", len(description) + 4)
               + patch + struct.pack("<I", len(patch) + 4))
    tmp = out_path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(stub + payload)
    os.chmod(tmp, os.stat(stub_path).st_mode & 0o777)
    os.replace(tmp, out_path)
    print(f"{os.path.basename(out_path)}: stub {len(stub)} + description {len(description)} "
          f"+ patch {len(patch)} + 8 = {len(stub) + len(payload)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
