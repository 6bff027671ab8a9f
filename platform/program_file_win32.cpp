// OpenProgramFile, apart from GetProgramPath (program_path_win32.cpp): the
// downloaded program links only this one, and so imports no
// GetModuleFileNameA.
#include "platform/program_path.h"

#include <stdlib.h>
#include <windows.h>

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
