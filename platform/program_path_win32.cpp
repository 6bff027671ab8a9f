#include "platform/program_path.h"

#include <stdlib.h>
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

FileHandle OpenProgramFile() {
    // The wide API takes paths of up to 32,767 units; a cut one (the
    // result fills the buffer) could name another file.
    const DWORD capacity = 32768;
    WCHAR* path = static_cast<WCHAR*>(malloc(capacity * sizeof(WCHAR)));
    if (!path) return InvalidFileHandle();
    const DWORD length = GetModuleFileNameW(NULL, path, capacity);
    FileHandle file = InvalidFileHandle();
    if (length != 0 && length < capacity)
        file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    free(path);
    return file;
}
