// Fuzzes the text conversions with arbitrary bytes. The first byte picks a
// code page (936, 950, 1252, 65001); the rest is taken both as bytes in that
// code page and as UTF-16 units. Checked:
//  - the exact conversions are exact: what WideToCodePage accepts comes back
//    unchanged through CodePageToWide, and decoded text re-encodes and
//    decodes to itself; a refusal names an index inside the input;
//  - the substituting conversions never produce more units or bytes than a
//    character can take, whatever the input;
//  - ParseHex64 of the bytes equals a plain reading of the same rules.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/conversions.h"

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "conversions_fuzz: %s\n", what);
        abort();
    }
}

int64_t PlainParseHex(const uint8_t* p, size_t n) {
    if (n > 0 && (p[n - 1] == 'h' || p[n - 1] == 'H')) --n;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        int c = p[i], d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return 0;
        v = (v << 4) | uint64_t(d);
    }
    return int64_t(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    static const uint32_t kPages[] = {936, 950, 1252, 65001};
    const uint32_t cp = kPages[data[0] % 4];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const uint32_t n = uint32_t(size - 1);

    // Bytes -> UTF-16, exact.
    WideString wide;
    uint32_t bad = 0xFFFFFFFF;
    if (CodePageToWide(cp, bytes, n, &wide, &bad)) {
        Check(wide.Length() <= n, "decoded text longer than its bytes");
        ByteString again;
        Check(WideToCodePage(cp, wide.Data(), wide.Length(), &again, &bad), "decoded text does not re-encode");
        WideString twice;
        Check(CodePageToWide(cp, again.Data(), again.Length(), &twice, &bad), "re-encoded text does not decode");
        Check(twice == wide, "decode/encode/decode changed the text");
    } else {
        Check(bad < n, "refusal index outside the input");
        Check(wide.Empty(), "refusal left text behind");
    }

    // UTF-16 units -> bytes, exact.
    const uint32_t units = n / 2;
    char16_t* text = static_cast<char16_t*>(malloc((units + 1) * sizeof(char16_t)));
    Check(text != nullptr, "out of memory");
    memcpy(text, bytes, units * sizeof(char16_t));
    ByteString encoded;
    bad = 0xFFFFFFFF;
    if (WideToCodePage(cp, text, units, &encoded, &bad)) {
        WideString back;
        Check(CodePageToWide(cp, encoded.Data(), encoded.Length(), &back, &bad), "encoded text does not decode");
        Check(back == WideString(text, units), "encoding is not exact");
    } else {
        Check(bad < units, "refusal index outside the input");
        Check(encoded.Empty(), "refusal left bytes behind");
    }

    // The substituting pair, through the process-wide code page.
    SetConversionCodePage(cp);
    ByteString ansi = WideToAnsiText(text, units);
    Check(ansi.Length() <= uint64_t(units) * 4, "more than 4 bytes per unit");
    WideString fromAnsi = AnsiToWideText(ByteString(bytes, n));
    Check(fromAnsi.Length() <= n, "more units than bytes");
    free(text);

    Check(ParseHex64(ByteString(bytes, n)) == PlainParseHex(data + 1, n), "ParseHex64 differs");
    return 0;
}
