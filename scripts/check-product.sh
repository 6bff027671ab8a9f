#!/usr/bin/env bash
# Checks the i686 product, which cannot run on the build machines:
#   - tessel-stub.exe and tessel.exe are PE32 (i386) GUI programs importing
#     only system DLLs (i686-w64-mingw32-objdump);
#   - their resources: icon group "MAINICON" with two 32 x 32 images and the
#     manifest (identity "ee", x86, 1.0.0.0, win32; sole dependency
#     Common-Controls 6.0.0.0), all under language 2052;
#   - tessel.exe is the stub followed by exactly the demo payload
#     (description in code page 936, L2, res/demo.ips, L1);
#   - prints the stub's size against its 40 KiB budget (a figure, not a
#     failure: the size is reported and explained, not enforced).
# Usage: scripts/check-product.sh BUILD/win32
set -u
dir="$1"
here="$(cd "$(dirname "$0")" && pwd)"
src="$(dirname "$here")"
fail=0
say() { echo "check-product: $*"; }
bad() { echo "check-product: FAIL: $*"; fail=1; }

allowed="kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll msvcrt.dll advapi32.dll shell32.dll"

for exe in tessel-stub.exe tessel.exe; do
  f="$dir/$exe"
  [ -f "$f" ] || { bad "$f missing"; continue; }
  header=$(i686-w64-mingw32-objdump -f "$f")
  private=$(i686-w64-mingw32-objdump -p "$f")
  grep -q "file format pei-i386" <<<"$header" || bad "$exe is not a PE32 i386 image"
  grep -qE "^Magic[[:space:]]+010b" <<<"$private" || bad "$exe: optional header is not PE32"
  grep -qE "^Subsystem[[:space:]]+00000002" <<<"$private" || bad "$exe: not the Windows GUI subsystem"
  dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$private" | tr 'A-Z' 'a-z' | sort -u)
  [ -n "$dlls" ] || bad "$exe: no imports found"
  for dll in $dlls; do
    grep -qw -- "$dll" <<<"$allowed" || bad "$exe imports $dll, which is not a system DLL"
  done
  say "$exe: PE32 GUI, imports: $(echo $dlls)"
done

python3 - "$dir" "$src" <<'EOF' || fail=1
import os, re, struct, sys

build, src = sys.argv[1], sys.argv[2]
failed = False

def bad(msg):
    global failed
    failed = True
    print(f"check-product: FAIL: {msg}")

def resources(path):
    """{(type, name): {language: bytes}} from the PE's resource directory."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0"
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    opt_size = struct.unpack_from("<H", data, pe + 20)[0]
    opt = pe + 24
    assert struct.unpack_from("<H", data, opt)[0] == 0x10B, "not PE32"
    rsrc_rva = struct.unpack_from("<I", data, opt + 96 + 2 * 8)[0]
    table = opt + opt_size
    spans = []
    for i in range(sections):
        name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
        spans.append((va, max(vsize, rawsize), rawptr))
    def at(rva):
        for va, size, raw in spans:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError(f"RVA {rva:#x} outside every section")
    base = at(rsrc_rva)
    def entries(off):
        named, ids = struct.unpack_from("<HH", data, base + off + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + off + 16 + 8 * i)
            if name & 0x80000000:
                p = base + (name & 0x7FFFFFFF)
                n = struct.unpack_from("<H", data, p)[0]
                name = data[p + 2:p + 2 + 2 * n].decode("utf-16-le")
            yield name, target
    out = {}
    for rtype, t1 in entries(0):
        for rname, t2 in entries(t1 & 0x7FFFFFFF):
            for lang, leaf in entries(t2 & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + leaf)
                out.setdefault((rtype, rname), {})[lang] = data[at(rva):at(rva) + size]
    return out

for exe in ("tessel-stub.exe", "tessel.exe"):
    path = os.path.join(build, exe)
    if not os.path.exists(path):
        continue
    res = resources(path)
    group = res.get((14, "MAINICON"))
    if not group:
        bad(f"{exe}: no icon group MAINICON")
        continue
    if list(group) != [2052]:
        bad(f"{exe}: MAINICON languages {list(group)}, expected [2052]")
    g = group.get(2052) or next(iter(group.values()))
    reserved, kind, count = struct.unpack_from("<HHH", g, 0)
    sizes = []
    for i in range(count):
        w, h, colours, _, planes, bpp, nbytes, icon_id = struct.unpack_from("<BBBBHHIH", g, 6 + 14 * i)
        sizes.append((w or 256, h or 256, bpp))
        image = res.get((3, icon_id), {}).get(2052)
        if image is None:
            bad(f"{exe}: icon image {icon_id} missing under language 2052")
        elif len(image) != nbytes:
            bad(f"{exe}: icon image {icon_id} has {len(image)} bytes, the group says {nbytes}")
    if kind != 1 or count != 2 or any((w, h) != (32, 32) for w, h, _ in sizes):
        bad(f"{exe}: MAINICON holds {sizes}, expected two 32 x 32 images")
    manifest = res.get((24, 1))
    if not manifest or list(manifest) != [2052]:
        bad(f"{exe}: manifest 1 missing or not under language 2052 only ({list(manifest or {})})")
        continue
    xml = manifest[2052].decode("utf-8")
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

# tessel.exe = stub + description + L2 + patch + L1.
stub = open(os.path.join(build, "tessel-stub.exe"), "rb").read()
full = open(os.path.join(build, "tessel.exe"), "rb").read()
text = open(os.path.join(src, "res", "demo-description.txt"), "rb").read().decode("utf-8")
desc = text.encode("cp936")
patch = open(os.path.join(src, "res", "demo.ips"), "rb").read()
expected = stub + desc + struct.pack("<I", len(desc) + 4) + patch + struct.pack("<I", len(patch) + 4)
if full != expected:
    bad(f"tessel.exe ({len(full)} bytes) is not the stub ({len(stub)}) plus the demo payload")
else:
    print(f"check-product: tessel.exe = stub + {len(desc)}-byte description (L2 = {len(desc) + 4}) "
          f"+ {len(patch)}-byte patch (L1 = {len(patch) + 4})")
line_breaks = desc.count(b"\r\n")
if len(desc) != 231 or line_breaks != 1 or len(patch) != 151:
    bad(f"demo payload shape: description {len(desc)} bytes, {line_breaks} CR LF; patch {len(patch)}")

budget = 40 * 1024
verdict = "within" if len(stub) <= budget else f"OVER by {len(stub) - budget} bytes"
print(f"check-product: tessel-stub.exe {len(stub)} bytes; budget {budget}: {verdict}")
sys.exit(1 if failed else 0)
EOF

[ $fail -eq 0 ] && say "all checks passed" || say "some checks FAILED"
exit $fail
