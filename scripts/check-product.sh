#!/usr/bin/env bash
# Checks the i686 product, which cannot run on the build machines:
#   - tessel-stub.exe and tessel.exe are PE32 (i386) GUI programs importing
#     only system DLLs;
#   - their resources: icon group "MAINICON" with two 32 x 32 images and the
#     manifest (identity "ee", x86, 1.0.0.0, win32; sole dependency
#     Common-Controls 6.0.0.0), all under language 2052;
#   - tessel.exe is the stub followed by exactly the demo payload (ending
#     8-byte aligned; the stub's version information filled, its checksum set)
#     (description in code page 936, L2, res/demo.ips, L1), and the
#     publisher tool reads it so;
#   - prints the stub's size against its 48 KiB budget (a figure, not a
#     failure: the size is reported and explained, not enforced).
# Nothing here reads PE headers itself: the headers, imports and resource
# directory come from i686-w64-mingw32-objdump, the resource contents from
# i686-w64-mingw32-windres (decompiled to .rc text), and where the executable
# ends from the native `tessel-pack inspect` (the build's TESSEL_PACK).
# Usage: scripts/check-product.sh BUILD/win32
set -u
dir="$1"
here="$(cd "$(dirname "$0")" && pwd)"
src="$(dirname "$here")"
fail=0
say() { echo "check-product: $*"; }
bad() { echo "check-product: FAIL: $*"; fail=1; }

allowed="kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll msvcrt.dll advapi32.dll shell32.dll"
work="$(mktemp -d "${TMPDIR:-/tmp}/tessel-product.XXXXXX")"
trap 'rm -rf "$work"' EXIT

for exe in tessel-stub.exe tessel.exe; do
  f="$dir/$exe"
  [ -f "$f" ] || { bad "$f missing"; continue; }
  header=$(i686-w64-mingw32-objdump -f "$f")
  i686-w64-mingw32-objdump -p "$f" >"$work/$exe.objdump"
  private=$(cat "$work/$exe.objdump")
  grep -q "file format pei-i386" <<<"$header" || bad "$exe is not a PE32 i386 image"
  grep -qE "^Magic[[:space:]]+010b" <<<"$private" || bad "$exe: optional header is not PE32"
  grep -qE "^Subsystem[[:space:]]+00000002" <<<"$private" || bad "$exe: not the Windows GUI subsystem"
  dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$private" | tr 'A-Z' 'a-z' | sort -u)
  [ -n "$dlls" ] || bad "$exe: no imports found"
  for dll in $dlls; do
    grep -qw -- "$dll" <<<"$allowed" || bad "$exe imports $dll, which is not a system DLL"
  done
  say "$exe: PE32 GUI, imports: $(echo $dlls)"
  i686-w64-mingw32-windres -i "$f" -O rc -o "$work/$exe.rc" || bad "$exe: windres cannot read its resources"
done

# Where the tool sees the executable end and the payload begin.
tool=$(sed -n 's/^TESSEL_PACK:[A-Z]*=//p' "$dir/CMakeCache.txt" 2>/dev/null)
[ -x "${tool:-}" ] || tool="$dir/../host/tessel-pack"
if [ -x "$tool" ]; then
  "$tool" inspect "$dir/tessel.exe" >"$work/inspect.txt" 2>&1 || bad "tessel-pack inspect refuses tessel.exe: $(tail -1 "$work/inspect.txt")"
else
  bad "no native tessel-pack (looked for the build's TESSEL_PACK and $dir/../host/tessel-pack)"
fi

python3 - "$dir" "$src" "$work" <<'EOF' || fail=1
import os, re, struct, sys

build, src, work = sys.argv[1:4]
failed = False
LANG_2052 = 0x804  # Chinese (Simplified, PRC)

def bad(msg):
    global failed
    failed = True
    print(f"check-product: FAIL: {msg}")

def directory(exe):
    """{(type, name): {language: size}} from objdump's listing of the .rsrc
    directory. Its entries are indented by level: 3 type, 5 name, 7 language."""
    path = os.path.join(work, exe + ".objdump")
    text = open(path, encoding="utf-8", errors="replace").read()
    start = text.find("The .rsrc Resource Directory section:")
    if start < 0:
        return {}
    out, key, lang = {}, [None, None], None
    for line in text[start:].splitlines()[1:]:
        m = re.match(r"[0-9a-f]+( +)(Entry|Leaf): (.*)", line)
        if not m:
            if line.strip() and not re.match(r"[0-9a-f]+ +\w+ Table:| String table", line):
                break
            continue
        depth, kind, rest = len(m.group(1)), m.group(2), m.group(3)
        if kind == "Leaf":
            size = int(re.search(r"Size: (0x[0-9a-f]+)", rest).group(1), 16)
            out.setdefault(tuple(key), {})[lang] = size
            continue
        named = re.match(r"name: \[[^\]]*\]: (.*), Value:", rest)
        value = named.group(1) if named else int(re.match(r"ID: (0x[0-9a-f]+)", rest).group(1), 16)
        if depth == 3:
            key = [value, None]
        elif depth == 5:
            key[1] = value
        else:
            lang = value
    return out

def rc_blocks(exe):
    """{(name, type): [lines]} of the BEGIN ... END blocks windres wrote."""
    blocks, current, lines = {}, None, None
    for line in open(os.path.join(work, exe + ".rc"), encoding="latin-1"):
        line = line.rstrip("\n")
        head = re.match(r'^("[^"]*"|\d+) (\d+)\b', line)
        if head and lines is None:
            current = (head.group(1).strip('"'), int(head.group(2)))
        elif line == "BEGIN" and current:
            lines = []
        elif line == "END" and lines is not None:
            blocks[current], current, lines = lines, None, None
        elif lines is not None:
            lines.append(line)
    return blocks

def unescape(text):
    """A C string literal body as windres writes it, to bytes."""
    return text.replace('""', '"').encode("latin-1").decode("unicode_escape").encode("latin-1")

for exe in ("tessel-stub.exe", "tessel.exe"):
    if not os.path.exists(os.path.join(work, exe + ".rc")):
        continue
    res, rc = directory(exe), rc_blocks(exe)
    group = res.get((14, "MAINICON"))
    if not group:
        bad(f"{exe}: no icon group MAINICON")
        continue
    if list(group) != [LANG_2052]:
        bad(f"{exe}: MAINICON languages {list(group)}, expected [2052]")
    entries = re.findall(r'"((?:[^"\\]|\\.)*)", (\d+), (\d+), (0x[0-9a-f]+|\d+)L?, (\d+)',
                         "\n".join(rc.get(("MAINICON", 14), [])))
    sizes = []
    for dims, planes, bpp, nbytes, icon_id in entries:
        w, h = unescape(dims)[:2]
        sizes.append((w or 256, h or 256, int(bpp)))
        image = res.get((3, int(icon_id)), {})
        if LANG_2052 not in image:
            bad(f"{exe}: icon image {icon_id} missing under language 2052")
        elif image[LANG_2052] != int(nbytes, 0):
            bad(f"{exe}: icon image {icon_id} has {image[LANG_2052]} bytes, the group says {int(nbytes, 0)}")
    if len(sizes) != 2 or any((w, h) != (32, 32) for w, h, _ in sizes):
        bad(f"{exe}: MAINICON holds {sizes}, expected two 32 x 32 images")
    manifest = res.get((24, 1))
    if not manifest or list(manifest) != [LANG_2052]:
        bad(f"{exe}: manifest 1 missing or not under language 2052 only ({list(manifest or {})})")
        continue
    xml = b"".join(unescape(m.group(1)) for line in rc.get(("1", 24), [])
                   for m in [re.match(r'^\s*"(.*)"\s*$', line)] if m).decode("utf-8")
    identities = re.findall(r"<assemblyIdentity\b([^>]*)>", xml)
    attrs = [dict(re.findall(r'(\w+)="([^"]*)"', a)) for a in identities]
    own = {"name": "ee", "processorArchitecture": "x86", "version": "1.0.0.0", "type": "win32"}
    if not attrs or any(attrs[0].get(k) != v for k, v in own.items()):
        bad(f"{exe}: manifest identity {attrs[:1]}")
    deps = attrs[1:]
    if len(deps) != 1 or deps[0].get("name") != "Microsoft.Windows.Common-Controls" \
            or deps[0].get("version") != "6.0.0.0":
        bad(f"{exe}: manifest dependencies {deps}")
    print(f"check-product: {exe}: MAINICON {sizes} and manifest, language 2052")

# tessel.exe = stub + zeros up to an 8-byte end + description + L2 + patch
# + L1; in the stub only the version information (rewritten in place, inside
# the resource section) and the PE checksum differ.
stub = open(os.path.join(build, "tessel-stub.exe"), "rb").read()
full = open(os.path.join(build, "tessel.exe"), "rb").read()
text = open(os.path.join(src, "res", "demo-description.txt"), "rb").read().decode("utf-8")
desc = text.encode("cp936")
patch = open(os.path.join(src, "res", "demo.ips"), "rb").read()
payload = desc + struct.pack("<I", len(desc) + 4) + patch + struct.pack("<I", len(patch) + 4)
pad = -(len(stub) + len(payload)) % 8
pe = struct.unpack_from("<I", stub, 0x3C)[0]
checksum_at = pe + 24 + 64
sections = struct.unpack_from("<H", stub, pe + 6)[0]
table = pe + 24 + struct.unpack_from("<H", stub, pe + 20)[0]
rsrc = [struct.unpack_from("<II", stub, table + 40 * i + 16) for i in range(sections)
        if stub[table + 40 * i:table + 40 * i + 5] == b".rsrc"]
changed = [i for i in range(min(len(stub), len(full))) if stub[i] != full[i]
           and not checksum_at <= i < checksum_at + 4]
outside = [i for i in changed if not rsrc or not rsrc[0][1] <= i < rsrc[0][1] + rsrc[0][0]]
summed = bytearray(full)
summed[checksum_at:checksum_at + 4] = bytes(4)
total = 0
for i in range(0, len(summed), 2):
    total += summed[i] | (summed[i + 1] << 8 if i + 1 < len(summed) else 0)
    total = (total & 0xFFFF) + (total >> 16)
total = ((total & 0xFFFF) + (total >> 16)) + len(full)
if len(full) != len(stub) + pad + len(payload) or full[len(stub):] != bytes(pad) + payload or outside:
    bad(f"tessel.exe ({len(full)} bytes) is not the stub ({len(stub)}) plus the demo payload"
        + (f" (it differs outside the resources at {hex(outside[0])})" if outside else ""))
elif struct.unpack_from("<I", full, checksum_at)[0] != total & 0xFFFFFFFF:
    bad("tessel.exe's PE checksum is wrong")
else:
    print(f"check-product: tessel.exe = stub (version information filled) + {pad} zero bytes + {len(desc)}-byte "
          f"description (L2 = {len(desc) + 4}) + {len(patch)}-byte patch (L1 = {len(patch) + 4}); checksum right")
line_breaks = desc.count(b"\r\n")
if len(desc) != 231 or line_breaks != 1 or len(patch) != 151:
    bad(f"demo payload shape: description {len(desc)} bytes, {line_breaks} CR LF; patch {len(patch)}")

# The tool's reading of the same file: its PE reader puts the end of the
# executable where the stub ends.
inspect = os.path.join(work, "inspect.txt")
if os.path.exists(inspect):
    report = open(inspect, encoding="utf-8", errors="replace").read()
    m = re.search(r"^executable +(\d+) bytes", report, re.M)
    if not m or int(m.group(1)) != len(stub):
        bad(f"tessel-pack inspect puts the end of tessel.exe's executable at "
            f"{m.group(1) if m else '?'} bytes, the stub has {len(stub)}")
    elif not re.search(r"^verdict +valid", report, re.M):
        bad("tessel-pack inspect does not call tessel.exe valid")
    else:
        print(f"check-product: tessel-pack inspect: executable {m.group(1)} bytes, payload valid")

budget = 48 * 1024
verdict = "within" if len(stub) <= budget else f"OVER by {len(stub) - budget} bytes"
print(f"check-product: tessel-stub.exe {len(stub)} bytes; budget {budget}: {verdict}")
sys.exit(1 if failed else 0)
EOF

[ $fail -eq 0 ] && say "all checks passed" || say "some checks FAILED"
exit $fail
