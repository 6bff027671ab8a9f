// Counted UTF-16 text (char16_t units), the wide side of the code-page
// conversions.
#pragma once
#include "base/counted_string.h"

typedef CountedString<char16_t> WideString;

// Units in a NUL-terminated UTF-16 text (0 for null).
inline uint32_t WideLength(const char16_t* text) { return WideString::TextLength(text); }
