// The one conversion of a path for the wide file calls, shared by the file
// wrappers and the replacement calls (platform/file_handle_win32.cpp), and
// the MultiByteToWideChar step under it and the code-page conversions
// (platform/conversions_win32.cpp).
#pragma once
#include "base/byte_string.h"
#include "base/wide_string.h"

// A path as a NUL-terminated UTF-16 one, from UTF-8 (UseUtf8FilePaths) or
// the ANSI code page; a long one (MAX_PATH less 12 units and more) made full
// and given the "\\?\" prefix. Empty when it cannot be converted.
WideString WidePath(const ByteString& path);

// MultiByteToWideChar(codePage, flags) into a fresh text: empty for an
// empty input and when the call fails (with MB_ERR_INVALID_CHARS: at a
// sequence that is not valid in the code page).
WideString MultiByteToWide(uint32_t codePage, uint32_t flags, const ByteString& text);
