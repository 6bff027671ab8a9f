// Where the running program's own file is.
#pragma once
#include "base/byte_string.h"

// The full path of the running program as the ANSI byte string that
// GetModuleFileNameA gives (/proc/self/exe on POSIX); empty when it cannot be
// had or would not fit in MAX_PATH (a truncated path could name another file).
ByteString GetProgramPath();
