#include "platform/program_path.h"

#include <windows.h>

ByteString GetProgramPath() {
    // When the path does not fit, GetModuleFileNameA returns the buffer size
    // and (on XP) leaves the text unterminated; a cut path could name a
    // different file, so it counts as no path at all.
    char buffer[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(NULL, buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer) return ByteString();
    return ByteString(buffer, length);
}
