// Counted string of 8-bit characters in one code page (the thread's ANSI code
// page inside the program).
#pragma once
#include "base/counted_string.h"

typedef CountedString<char> ByteString;
