// Text and number conversions for the layers above: numbers to hexadecimal
// and decimal text, hexadecimal text back to a number, ASCII upper-casing,
// and UTF-16 <-> byte strings in a code page.
//
// The conversion code page of WideToAnsiText / AnsiToWideText:
//  - Windows: the ANSI code page of the calling thread's locale, chosen once
//    on first use (CP_THREAD_ACP on Windows 2000 and later, else the thread
//    locale's LOCALE_IDEFAULTANSICODEPAGE).
//  - POSIX (host tools and tests): a process-wide code page, 936 unless
//    SetConversionCodePage changes it. Converted with iconv ("CP<n>", and
//    "UTF-8" for 65001).
// These two never fail: like WideCharToMultiByte / MultiByteToWideChar with
// no flags, characters the code page cannot hold become '?' and byte
// sequences that are not valid in it become U+FFFD.
//
// The explicit-code-page pair WideToCodePage / CodePageToWide is for the
// publisher tool: it refuses instead of substituting, and says where.
#pragma once
#include <stdint.h>

#include "base/byte_string.h"
#include "base/wide_string.h"

// Upper-case hexadecimal digits of value, most significant first, no prefix.
// Only the low 4 bits of minDigits count; the text is padded with leading
// zeros to that many digits and never has fewer than one digit.
ByteString HexDigits(uint32_t value, int32_t minDigits);

// Decimal text with a leading '-' for negative values (INT32_MIN included).
ByteString DecimalDigits(int32_t value);

// Copy with the bytes 'a'..'z' lowered by 0x20; every other byte (0x80 and
// above included, so also second bytes of double-byte characters) kept.
ByteString UpperAscii(const ByteString& text);

// Hexadecimal text to a number: upper-cased first, one trailing 'H' dropped,
// then each character shifts the 64-bit result left by 4 and adds its digit.
// Any other character makes the whole result 0. An empty text (or "H") is 0.
// Meant for short field texts (callers pass 4 or 6 digits).
int64_t ParseHex64(const ByteString& text);

// UTF-16 -> conversion code page (see above). Empty input gives "".
ByteString WideToAnsiText(const char16_t* text, uint32_t length);
ByteString WideToAnsiText(const char16_t* text);  // NUL-terminated (u"...")
ByteString WideToAnsiText(const WideString& text);

// Conversion code page -> UTF-16. Empty input gives empty text.
WideString AnsiToWideText(const ByteString& text);

// UTF-8 -> UTF-16, never failing: byte sequences that are not UTF-8 become
// U+FFFD (MultiByteToWideChar(CP_UTF8, 0) on Windows).
WideString Utf8ToWideText(const ByteString& text);

// UTF-16 -> a given code page, never failing: what the code page cannot
// hold becomes its default character (WideCharToMultiByte(codePage, 0)).
ByteString WideToCodePageText(uint32_t codePage, const char16_t* text, uint32_t length);

// A given code page -> UTF-16, never failing: bytes not valid in it become
// U+FFFD (MultiByteToWideChar(codePage, 0) on Windows).
WideString CodePageToWideText(uint32_t codePage, const ByteString& text);

// UTF-16 -> UTF-8, never failing: unpaired surrogates become U+FFFD
// (WideCharToMultiByte(CP_UTF8, 0) on Windows). Empty input gives "".
// The program's byte strings hold UTF-8 and reach Windows through the wide
// calls, converted back with Utf8ToWideText.
ByteString WideToUtf8Text(const char16_t* text, uint32_t length);
ByteString WideToUtf8Text(const WideString& text);

// Whether the conversion code page holds a NUL-terminated text exactly: no
// default character and no best-fit look-alike would stand in for any of it.
bool AnsiCanHold(const char16_t* text);

// The code page the calls above use (on Windows CP_THREAD_ACP = 3 or the
// number read from the thread locale).
uint32_t ConversionCodePage();

#ifndef _WIN32
// POSIX only: chooses the process-wide conversion code page (default 936).
void SetConversionCodePage(uint32_t codePage);
#endif

// UTF-16 -> the given code page (e.g. 936, 950, 1252, 65001). Refuses text
// the code page cannot hold exactly: no best-fit substitutes, no default
// character, no unpaired surrogates. On refusal returns false, leaves *out
// empty and sets *firstBadIndex (when given) to the index of the first
// offending UTF-16 unit. An unknown code page is refused with index 0.
bool WideToCodePage(uint32_t codePage, const char16_t* text, uint32_t length,
                    ByteString* out, uint32_t* firstBadIndex);

// The given code page -> UTF-16. Refuses byte sequences that are not valid
// in the code page (including one cut at the end); *firstBadIndex is then
// the byte index where the first bad sequence starts.
bool CodePageToWide(uint32_t codePage, const char* bytes, uint32_t length,
                    WideString* out, uint32_t* firstBadIndex);
