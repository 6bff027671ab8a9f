// The replacement calls on Win32, all through the wide API: a path is
// converted once from UTF-8 (UseUtf8FilePaths) or from the ANSI code page,
// and split into folder and name in UTF-16, where a backslash is never the
// second byte of a double-byte character.
#include "platform/file_replace.h"

#include <windows.h>

#include "base/wide_string.h"
#include "platform/file_replace_names.h"

namespace {

WideString Wide(const ByteString& path) {
    const UINT codePage = UsesUtf8FilePaths() ? CP_UTF8 : CP_ACP;
    WideString wide;
    const int length = static_cast<int>(path.Length());
    const int units = MultiByteToWideChar(codePage, 0, path.Data(), length, NULL, 0);
    if (units <= 0 || !wide.SetLength(static_cast<uint32_t>(units))) return WideString();
    MultiByteToWideChar(codePage, 0, path.Data(), length, reinterpret_cast<WCHAR*>(wide.Data()), units);
    return wide;
}

const WCHAR* W(const WideString& text) { return reinterpret_cast<const WCHAR*>(text.CStr()); }

// Where the file name of a wide path begins (after its last \ / or :).
uint32_t NameStart(const WideString& path) {
    uint32_t start = 0;
    for (uint32_t i = 0; i < path.Length(); ++i)
        if (path[i] == u'\\' || path[i] == u'/' || path[i] == u':') start = i + 1;
    return start;
}

// Not a secret, only hard to guess: CREATE_NEW keeps the file exclusive
// whatever the name.
uint32_t RandomWord() {
    static uint32_t calls;
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    // The stack's address differs from process to process (ASLR).
    uint32_t word = counter.LowPart ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&counter) << 8) ^
                    (++calls << 24) ^ GetTickCount();
    word ^= word >> 15;
    word *= 0x2C1B3C6Du;
    return word ^ (word >> 12);
}

}  // namespace

FileHandle CreateExclusiveFileBeside(const ByteString& path, ByteString* createdPath) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        const ByteString name = TemporaryNameFor(path, RandomWord());
        // CREATE_NEW fails on any file already there; no sharing while it is
        // being built.
        HANDLE file = CreateFileW(W(Wide(name)), GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            *createdPath = name;
            return file;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return InvalidFileHandle();
}

void DeleteLeftoversBeside(const ByteString& path) {
    WideString pattern = Wide(path);
    const uint32_t nameStart = NameStart(pattern);
    // Each ? stands for one character of the tag.
    pattern.Append(u".tessel-??????.tmp");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(W(pattern), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
        WideString leftover(pattern.CStr(), nameStart);
        leftover.Append(reinterpret_cast<const char16_t*>(found.cFileName));
        DeleteFileW(W(leftover));
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

bool FreeSpaceBeside(const ByteString& path, uint64_t* bytes) {
    const WideString wide = Wide(path);
    const WideString folder(wide.CStr(), NameStart(wide));
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(folder.Empty() ? NULL : W(folder), &available, NULL, NULL)) return false;
    *bytes = available.QuadPart;
    return true;
}

// SetFilePointer and GetFileSize with their high words: the program imports
// them already, the ...Ex forms would cost it two more imports. A low word
// of all ones is a failure only when GetLastError says so.
bool SeekFileHandleTo(FileHandle handle, uint64_t position) {
    LONG high = static_cast<LONG>(position >> 32);
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(handle, static_cast<LONG>(position), &high, FILE_BEGIN);
    return IsValidFileHandle(handle) && (low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR);
}

bool GetFileSizeHandle64(FileHandle handle, uint64_t* size) {
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = GetFileSize(handle, &high);
    if (!IsValidFileHandle(handle) || (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)) return false;
    *size = static_cast<uint64_t>(high) << 32 | low;
    return true;
}

bool PutFileInPlace(const ByteString& replacement, const ByteString& target, const ByteString& backup) {
    const WideString from = Wide(replacement), to = Wide(target);
    if (backup.Empty())
        return MoveFileExW(W(from), W(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    // ReplaceFile keeps the target's attributes and security on the new
    // contents and moves the original to the backup name in the same call.
    // An older backup that stands in its way goes first, once.
    const WideString kept = Wide(backup);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (ReplaceFileW(W(to), W(from), W(kept), REPLACEFILE_IGNORE_MERGE_ERRORS, NULL, NULL)) return true;
        // The original is under the backup name and the new file was not
        // moved: the original goes back.
        if (GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
            MoveFileExW(W(kept), W(to), MOVEFILE_WRITE_THROUGH);
            return false;
        }
        if (attempt == 0 && !DeleteFileW(W(kept))) return false;
    }
    return false;
}
