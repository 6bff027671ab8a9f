// Code-page conversions for the host build, over iconv. Code page numbers
// map to iconv names: 65001 -> "UTF-8", n -> "CP<n>" (glibc knows CP936,
// CP950, CP1252, CP932 ...). No //TRANSLIT: unmappable input is refused
// with EILSEQ, which the exact conversions report and the plain ones
// replace like the Windows calls with no flags do.
#include <errno.h>
#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/conversions.h"

namespace {

uint32_t g_conversionCodePage = 936;

void CodePageName(uint32_t cp, char (&name)[16]) {
    if (cp == 65001)
        snprintf(name, sizeof name, "UTF-8");
    else
        snprintf(name, sizeof name, "CP%u", static_cast<unsigned>(cp));
}

const char* HostUtf16Name() {
    const uint16_t probe = 1;
    return *reinterpret_cast<const uint8_t*>(&probe) == 1 ? "UTF-16LE" : "UTF-16BE";
}

// Output collected while converting; malloc-backed, grown in doubling steps.
struct Buffer {
    char* bytes = nullptr;
    size_t used = 0;
    size_t capacity = 0;
    ~Buffer() { free(bytes); }
    bool Reserve(size_t more) {
        if (capacity - used >= more) return true;
        size_t want = capacity ? capacity : 64;
        while (want - used < more) {
            if (want > SIZE_MAX / 2) return false;
            want *= 2;
        }
        char* grown = static_cast<char*>(realloc(bytes, want));
        if (!grown) return false;
        bytes = grown;
        capacity = want;
        return true;
    }
    bool Add(const void* p, size_t n) {
        if (!Reserve(n)) return false;
        memcpy(bytes + used, p, n);
        used += n;
        return true;
    }
};

enum BadInput { Refuse, Substitute };

// Converts n bytes of input whose units are unitSize bytes wide. Refuse:
// false at the first bad or cut sequence, *badUnit its unit index.
// Substitute: that sequence's first unit is skipped and `replacement` is
// written in its place. False also when iconv does not know the names.
bool Convert(const char* to, const char* from, const char* in, size_t n, size_t unitSize,
             BadInput mode, const void* replacement, size_t replacementSize, Buffer* out,
             size_t* badUnit) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        if (badUnit) *badUnit = 0;
        return false;
    }
    char* source = const_cast<char*>(in);
    size_t left = n;
    bool ok = true;
    while (left > 0) {
        if (!out->Reserve(left * 4 + 16)) { ok = false; break; }
        char* dest = out->bytes + out->used;
        size_t room = out->capacity - out->used;
        size_t r = iconv(cd, &source, &left, &dest, &room);
        out->used = out->capacity - room;
        if (r != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        if (errno != EILSEQ && errno != EINVAL) { ok = false; break; }
        if (mode == Refuse) {
            if (badUnit) *badUnit = static_cast<size_t>(source - in) / unitSize;
            ok = false;
            break;
        }
        if (!out->Add(replacement, replacementSize)) { ok = false; break; }
        size_t skip = left < unitSize ? left : unitSize;
        source += skip;
        left -= skip;
    }
    if (ok) {
        // Flush any shift state (none for the code pages in use).
        if (!out->Reserve(16)) {
            ok = false;
        } else {
            char* dest = out->bytes + out->used;
            size_t room = out->capacity - out->used;
            iconv(cd, nullptr, nullptr, &dest, &room);
            out->used = out->capacity - room;
        }
    }
    iconv_close(cd);
    return ok;
}

bool ToByteString(const Buffer& buffer, ByteString* out) {
    if (buffer.used > UINT32_MAX - 1) return false;
    *out = ByteString(buffer.bytes, static_cast<uint32_t>(buffer.used));
    return out->Length() == buffer.used;
}

bool ToWideString(const Buffer& buffer, WideString* out) {
    size_t units = buffer.used / sizeof(char16_t);
    if (units > UINT32_MAX / 4) return false;
    *out = WideString(reinterpret_cast<const char16_t*>(buffer.bytes), static_cast<uint32_t>(units));
    return out->Length() == units;
}

}  // namespace

uint32_t ConversionCodePage() { return g_conversionCodePage; }

void SetConversionCodePage(uint32_t codePage) { g_conversionCodePage = codePage; }

namespace {

// UTF-16 -> a code page, unconvertible units replaced by `replacement`.
ByteString ToBytesSubstituting(uint32_t codePage, const char16_t* text, uint32_t length,
                               const char* replacement, size_t replacementSize) {
    ByteString result;
    if (!text || length == 0) return result;
    char name[16];
    CodePageName(codePage, name);
    Buffer buffer;
    if (Convert(name, HostUtf16Name(), reinterpret_cast<const char*>(text), length * sizeof(char16_t),
                sizeof(char16_t), Substitute, replacement, replacementSize, &buffer, nullptr))
        ToByteString(buffer, &result);
    return result;
}

}  // namespace

ByteString WideToAnsiText(const char16_t* text, uint32_t length) {
    return ToBytesSubstituting(g_conversionCodePage, text, length, "?", 1);
}

ByteString WideToCodePageText(uint32_t codePage, const char16_t* text, uint32_t length) {
    return ToBytesSubstituting(codePage, text, length, "?", 1);
}

ByteString WideToUtf8Text(const char16_t* text, uint32_t length) {
    // An unpaired surrogate becomes U+FFFD, as WideCharToMultiByte makes it.
    return ToBytesSubstituting(65001, text, length, "\xEF\xBF\xBD", 3);
}

namespace {

WideString ToWideSubstituting(uint32_t codePage, const ByteString& text) {
    WideString result;
    if (text.Empty()) return result;
    char name[16];
    CodePageName(codePage, name);
    Buffer buffer;
    const char16_t replacement = 0xFFFD;
    if (Convert(HostUtf16Name(), name, text.Data(), text.Length(), 1, Substitute, &replacement,
                sizeof replacement, &buffer, nullptr))
        ToWideString(buffer, &result);
    return result;
}

}  // namespace

WideString AnsiToWideText(const ByteString& text) { return ToWideSubstituting(g_conversionCodePage, text); }

WideString Utf8ToWideText(const ByteString& text) { return ToWideSubstituting(65001, text); }

WideString CodePageToWideText(uint32_t codePage, const ByteString& text) {
    return ToWideSubstituting(codePage, text);
}

bool AnsiCanHold(const char16_t* text) {
    return WideToCodePage(g_conversionCodePage, text, WideLength(text), nullptr, nullptr);
}

namespace {

// glibc's iconv drops the Unicode tag characters (U+E0000 to U+E007F, a
// high surrogate 0xDB40 and a low one up to 0xDC7F) without a word when the
// code page has no place for them, where WideCharToMultiByte with
// WC_NO_BEST_FIT_CHARS refuses them: the index of the first one, or length.
uint32_t FirstDroppedTag(const char16_t* text, uint32_t length) {
    for (uint32_t i = 0; i + 1 < length; ++i)
        if (text[i] == 0xDB40 && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDC7F) return i;
    return length;
}

}  // namespace

bool WideToCodePage(uint32_t codePage, const char16_t* text, uint32_t length, ByteString* out,
                    uint32_t* firstBadIndex) {
    if (out) *out = ByteString();
    if (length == 0) return true;
    const uint32_t tag = codePage == 65001 || !text ? length : FirstDroppedTag(text, length);
    if (tag < length) {
        if (firstBadIndex) *firstBadIndex = tag;
        return false;
    }
    char name[16];
    CodePageName(codePage, name);
    Buffer buffer;
    size_t bad = 0;
    if (!text || !Convert(name, HostUtf16Name(), reinterpret_cast<const char*>(text),
                          length * sizeof(char16_t), sizeof(char16_t), Refuse, nullptr, 0, &buffer, &bad)) {
        if (firstBadIndex) *firstBadIndex = static_cast<uint32_t>(bad);
        return false;
    }
    ByteString result;
    if (!ToByteString(buffer, &result)) {
        if (firstBadIndex) *firstBadIndex = 0;
        return false;
    }
    if (out) *out = static_cast<ByteString&&>(result);
    return true;
}

bool CodePageToWide(uint32_t codePage, const char* bytes, uint32_t length, WideString* out,
                    uint32_t* firstBadIndex) {
    if (out) *out = WideString();
    if (length == 0) return true;
    char name[16];
    CodePageName(codePage, name);
    Buffer buffer;
    size_t bad = 0;
    if (!bytes || !Convert(HostUtf16Name(), name, bytes, length, 1, Refuse, nullptr, 0, &buffer, &bad)) {
        if (firstBadIndex) *firstBadIndex = static_cast<uint32_t>(bad);
        return false;
    }
    WideString result;
    if (!ToWideString(buffer, &result)) {
        if (firstBadIndex) *firstBadIndex = 0;
        return false;
    }
    if (out) *out = static_cast<WideString&&>(result);
    return true;
}

ByteString WideToAnsiText(const char16_t* text) { return WideToAnsiText(text, WideLength(text)); }

ByteString WideToAnsiText(const WideString& text) { return WideToAnsiText(text.Data(), text.Length()); }
