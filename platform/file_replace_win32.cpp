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
uint64_t RandomWord() {
    static uint32_t calls;
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint64_t word = static_cast<uint64_t>(counter.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 40) ^
                    (static_cast<uint64_t>(++calls) << 20) ^ GetTickCount();
    word ^= word >> 31;
    word *= 0x9E3779B97F4A7C15ull;
    return word ^ (word >> 29);
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
    const WideString base(pattern.CStr() + nameStart, pattern.Length() - nameStart);
    pattern.Append(u".tessel-*.tmp");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(W(pattern), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const char16_t* name = reinterpret_cast<const char16_t*>(found.cFileName);
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
            !IsTemporaryName(name, WideString::TextLength(name), base.CStr(), base.Length()))
            continue;
        WideString leftover(pattern.CStr(), nameStart);
        leftover.Append(name);
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

bool SeekFileHandleTo(FileHandle handle, uint64_t position) {
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(position);
    return IsValidFileHandle(handle) && SetFilePointerEx(handle, distance, NULL, FILE_BEGIN) != FALSE;
}

bool GetFileSizeHandle64(FileHandle handle, uint64_t* size) {
    LARGE_INTEGER value;
    if (!IsValidFileHandle(handle) || !GetFileSizeEx(handle, &value)) return false;
    *size = static_cast<uint64_t>(value.QuadPart);
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

FileHandle OpenOwnPlainFile(const ByteString& path) {
    // A reparse point (a link or a junction) is opened as itself, and then
    // refused, rather than followed.
    HANDLE file = CreateFileW(W(Wide(path)), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    BY_HANDLE_FILE_INFORMATION info;
    if (file != INVALID_HANDLE_VALUE &&
        (!GetFileInformationByHandle(file, &info) ||
         (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))) {
        CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
    }
    return file;
}

FileHandle CreateOwnFile(const ByteString& path) {
    // GENERIC_READ | GENERIC_WRITE, no sharing, CREATE_NEW (which fails on
    // anything at the name, a link included); the folder's inherited ACL.
    const OpenMode kCreateNewUnshared = 0xC0000100u;
    return OpenFileHandle(path, kCreateNewUnshared);
}

void FlushFolderBeside(const ByteString&) {}
