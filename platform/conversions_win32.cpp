// Code-page conversions over WideCharToMultiByte / MultiByteToWideChar.
// char16_t and WCHAR are both UTF-16 code units, so the buffers are passed
// through with a cast.
#include <windows.h>

#include "platform/conversions.h"
#include "platform/wide_path_win32.h"

namespace {


const WCHAR* W(const char16_t* p) { return reinterpret_cast<const WCHAR*>(p); }
WCHAR* W(char16_t* p) { return reinterpret_cast<WCHAR*>(p); }

// Code pages whose conversions reject WC_NO_BEST_FIT_CHARS / a default
// character argument (the documented list: UTF-7, UTF-8 and a few stateful
// or GB18030-style pages); for them only the flags 0 / NULL are legal.
bool TakesNoFlags(uint32_t cp) {
    return cp == CP_UTF7 || cp == CP_UTF8 || cp == CP_SYMBOL || cp == 50220 || cp == 50221 ||
           cp == 50222 || cp == 50225 || cp == 50227 || cp == 50229 || cp == 52936 ||
           cp == 54936 || (cp >= 57002 && cp <= 57011);
}

bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Units of the character starting at i: 2 for a surrogate pair, 1 else.
uint32_t CharUnits(const char16_t* text, uint32_t length, uint32_t i) {
    return IsHigh(text[i]) && i + 1 < length && IsLow(text[i + 1]) ? 2 : 1;
}

// Converts exactly, refusing best fit, default characters and anything that
// does not come back unchanged. out may be null (then only the verdict).
bool ConvertExact(uint32_t cp, const char16_t* text, int n, ByteString* out) {
    bool noFlags = TakesNoFlags(cp);
    if (noFlags) {
        // Unpaired surrogates would silently become U+FFFD bytes.
        for (int i = 0; i < n; ++i) {
            if (IsHigh(text[i]) && i + 1 < n && IsLow(text[i + 1])) { ++i; continue; }
            if (IsHigh(text[i]) || IsLow(text[i])) return false;
        }
    }
    DWORD flags = noFlags ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    int size = WideCharToMultiByte(cp, flags, W(text), n, NULL, 0, NULL, noFlags ? NULL : &usedDefault);
    if (size <= 0 || usedDefault) return false;
    ByteString bytes;
    if (!bytes.SetLength(static_cast<uint32_t>(size))) return false;
    usedDefault = FALSE;
    int done = WideCharToMultiByte(cp, flags, W(text), n, bytes.Data(), size, NULL,
                                   noFlags ? NULL : &usedDefault);
    if (done != size || usedDefault) return false;
    // Round trip: a mapping that is not one to one is not exact either.
    int back = MultiByteToWideChar(cp, 0, bytes.Data(), size, NULL, 0);
    if (back != n) return false;
    WideString again;
    if (!again.SetLength(static_cast<uint32_t>(back))) return false;
    if (MultiByteToWideChar(cp, 0, bytes.Data(), size, W(again.Data()), back) != back) return false;
    for (int i = 0; i < n; ++i)
        if (again[static_cast<uint32_t>(i)] != text[i]) return false;
    if (out) *out = static_cast<ByteString&&>(bytes);
    return true;
}

// Valid multi-byte sequences are at most 4 bytes in every Windows code page.
bool DecodesExactly(uint32_t cp, const char* bytes, int n) {
    DWORD flags = (cp == CP_UTF7) ? 0 : MB_ERR_INVALID_CHARS;
    return MultiByteToWideChar(cp, flags, bytes, n, NULL, 0) > 0;
}

}  // namespace

namespace {

// WideCharToMultiByte with no flags into a fresh string.
ByteString ToBytes(uint32_t cp, const char16_t* text, uint32_t length) {
    ByteString out;
    if (!text || length == 0 || length > 0x3FFFFFFF) return out;
    int n = static_cast<int>(length);
    int size = WideCharToMultiByte(cp, 0, W(text), n, NULL, 0, NULL, NULL);
    if (size <= 0 || !out.SetLength(static_cast<uint32_t>(size))) return ByteString();
    int done = WideCharToMultiByte(cp, 0, W(text), n, out.Data(), size, NULL, NULL);
    if (done <= 0) return ByteString();
    out.SetLength(static_cast<uint32_t>(done));
    return out;
}

}  // namespace

ByteString WideToUtf8Text(const char16_t* text, uint32_t length) { return ToBytes(CP_UTF8, text, length); }

ByteString WideToCodePageText(uint32_t codePage, const char16_t* text, uint32_t length) {
    return ToBytes(codePage, text, length);
}

// Bytes of a code page into a fresh UTF-16 text; with no flags bad
// sequences become U+FFFD, with MB_ERR_INVALID_CHARS they make it empty.
WideString MultiByteToWide(uint32_t cp, uint32_t flags, const ByteString& text) {
    WideString out;
    if (text.Empty() || text.Length() > 0x3FFFFFFF) return out;
    int n = static_cast<int>(text.Length());
    int size = MultiByteToWideChar(cp, flags, text.Data(), n, NULL, 0);
    if (size <= 0 || !out.SetLength(static_cast<uint32_t>(size))) return WideString();
    int done = MultiByteToWideChar(cp, flags, text.Data(), n, W(out.Data()), size);
    if (done <= 0) return WideString();
    out.SetLength(static_cast<uint32_t>(done));
    return out;
}

WideString Utf8ToWideText(const ByteString& text) { return MultiByteToWide(CP_UTF8, 0, text); }

WideString CodePageToWideText(uint32_t codePage, const ByteString& text) {
    return MultiByteToWide(codePage, 0, text);
}

bool WideToCodePage(uint32_t codePage, const char16_t* text, uint32_t length, ByteString* out,
                    uint32_t* firstBadIndex) {
    if (out) *out = ByteString();
    if (length == 0) return true;
    if (!text || length > 0x3FFFFFFF) {
        if (firstBadIndex) *firstBadIndex = 0;
        return false;
    }
    if (ConvertExact(codePage, text, static_cast<int>(length), out)) return true;
    // Find the first character that does not convert on its own.
    uint32_t bad = 0;
    for (uint32_t i = 0; i < length;) {
        uint32_t units = CharUnits(text, length, i);
        if (!ConvertExact(codePage, text + i, static_cast<int>(units), NULL)) { bad = i; break; }
        i += units;
    }
    if (firstBadIndex) *firstBadIndex = bad;
    return false;
}

bool CodePageToWide(uint32_t codePage, const char* bytes, uint32_t length, WideString* out,
                    uint32_t* firstBadIndex) {
    if (out) *out = WideString();
    if (length == 0) return true;
    if (!bytes || length > 0x3FFFFFFF) {
        if (firstBadIndex) *firstBadIndex = 0;
        return false;
    }
    int n = static_cast<int>(length);
    if (DecodesExactly(codePage, bytes, n)) {
        int size = MultiByteToWideChar(codePage, 0, bytes, n, NULL, 0);
        WideString text;
        if (size > 0 && text.SetLength(static_cast<uint32_t>(size)) &&
            MultiByteToWideChar(codePage, 0, bytes, n, W(text.Data()), size) == size) {
            if (out) *out = static_cast<WideString&&>(text);
            return true;
        }
        if (firstBadIndex) *firstBadIndex = 0;
        return false;
    }
    // Walk character by character: the shortest prefix of 1 to 4 bytes that
    // decodes on its own is the next character; none means a bad sequence.
    uint32_t i = 0;
    while (i < length) {
        uint32_t step = 0;
        for (uint32_t k = 1; k <= 4 && i + k <= length; ++k) {
            if (DecodesExactly(codePage, bytes + i, static_cast<int>(k))) { step = k; break; }
        }
        if (step == 0) break;
        i += step;
    }
    if (firstBadIndex) *firstBadIndex = i < length ? i : 0;
    return false;
}
