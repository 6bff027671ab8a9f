// Strict UTF-8 decoding and encoding for the tool's text: the description an
// author writes is UTF-8, the container holds it in a Windows code page, and
// the conversions of the core work on UTF-16.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

struct Utf8Problem {
    uint32_t line;        // 1-based line of the offending byte
    uint32_t byteOffset;  // 0-based offset where the bad sequence begins
};

// Decodes bytes into code points. Rejects what a careful reader must reject:
// stray continuation bytes, sequences cut short, overlong forms, UTF-16
// surrogate code points and values above U+10FFFF. lineOf (optional) gets the
// 1-based line of every code point; a line ends after each LF.
bool DecodeUtf8(const std::string& bytes, std::u32string& codePoints,
                std::vector<uint32_t>* lineOf, Utf8Problem* problem);

std::string EncodeUtf8(const std::u32string& codePoints);
std::string EncodeUtf8(char32_t codePoint);

// UTF-16 in both directions. A lone surrogate decodes as U+FFFD.
std::u16string ToUtf16(const std::u32string& codePoints);
std::u32string FromUtf16(const std::u16string& units);

// Lenient conversions for file names and console text: a byte that is not
// part of a UTF-8 character, or a lone surrogate, becomes U+FFFD.
std::u16string Utf8ToUtf16(const std::string& utf8);
std::string Utf16ToUtf8(const std::u16string& units);

// "U+00E9", "U+1F600": at least four upper-case hex digits.
std::string CodePointName(char32_t codePoint);
