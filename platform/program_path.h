// Where the running program's own file is.
#pragma once
#include "base/byte_string.h"
#include "platform/file_handle.h"

// The full path of the running program as the ANSI byte string that
// GetModuleFileNameA gives (/proc/self/exe on POSIX); empty when it cannot be
// had or would not fit in MAX_PATH (a truncated path could name another file).
ByteString GetProgramPath();

// The running program's own file, opened for reading (FILE_SHARE_READ) by
// its real name: on Windows through GetModuleFileNameW and CreateFileW, so
// a folder whose name the ANSI code page cannot hold (a Thai folder on a
// Chinese system) still works where GetProgramPath's lossy name would not.
// The caller owns the handle; an invalid one when it cannot be opened.
FileHandle OpenProgramFile();
