#include "tools/tessel_pack/utf8.h"

#include <stdio.h>

// The character starting at bytes[i]: false for a byte that cannot start one
// and for a sequence that is cut short, overlong, a surrogate or above
// U+10FFFF.
static bool DecodeOne(const std::string& bytes, size_t i, char32_t& value, size_t& length) {
    const size_t n = bytes.size();
    const uint8_t lead = static_cast<uint8_t>(bytes[i]);
    char32_t minimum;
    if (lead < 0x80) {
        value = lead;
        length = 1;
        return true;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        value = lead & 0x1F;
        length = 2;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        value = lead & 0x0F;
        length = 3;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        value = lead & 0x07;
        length = 4;
        minimum = 0x10000;
    } else {
        // 0x80..0xC1 cannot start a character (0xC0/0xC1 only start
        // overlong forms); 0xF5..0xFF are never used.
        return false;
    }
    for (size_t k = 1; k < length; ++k) {
        if (i + k >= n || (static_cast<uint8_t>(bytes[i + k]) & 0xC0) != 0x80) return false;
        value = (value << 6) | (static_cast<uint8_t>(bytes[i + k]) & 0x3F);
    }
    return value >= minimum && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF);
}

bool DecodeUtf8(const std::string& bytes, std::u32string& codePoints,
                std::vector<uint32_t>* lineOf, Utf8Problem* problem) {
    codePoints.clear();
    if (lineOf) lineOf->clear();
    uint32_t line = 1;
    size_t i = 0;
    while (i < bytes.size()) {
        char32_t value;
        size_t length;
        if (!DecodeOne(bytes, i, value, length)) {
            // Reported at the lead byte: that is the byte a user finds wrong
            // (a Latin-1 "é" before a blank, say).
            if (problem) *problem = Utf8Problem{line, static_cast<uint32_t>(i)};
            return false;
        }
        codePoints.push_back(value);
        if (lineOf) lineOf->push_back(line);
        if (value == '\n') ++line;
        i += length;
    }
    return true;
}

std::u16string Utf8ToUtf16(const std::string& utf8) {
    std::u32string codePoints;
    for (size_t i = 0; i < utf8.size();) {
        char32_t value;
        size_t length;
        if (!DecodeOne(utf8, i, value, length)) {
            value = U'\xFFFD';
            length = 1;
        }
        codePoints.push_back(value);
        i += length;
    }
    return ToUtf16(codePoints);
}

std::string Utf16ToUtf8(const std::u16string& units) {
    return EncodeUtf8(FromUtf16(units));
}

std::string EncodeUtf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

std::string EncodeUtf8(const std::u32string& codePoints) {
    std::string out;
    out.reserve(codePoints.size());
    for (char32_t c : codePoints) out += EncodeUtf8(c);
    return out;
}

std::u16string ToUtf16(const std::u32string& codePoints) {
    std::u16string out;
    out.reserve(codePoints.size());
    for (char32_t c : codePoints) {
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 | (c >> 10));
            out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::u32string FromUtf16(const std::u16string& units) {
    std::u32string out;
    out.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            out += static_cast<char32_t>(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            out += U'\xFFFD';
        } else {
            out += u;
        }
    }
    return out;
}

std::string CodePointName(char32_t codePoint) {
    char text[16];
    snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(codePoint));
    return text;
}
