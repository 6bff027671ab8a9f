// The replacement calls on Win32, all through the wide API: a path is
// converted once, as the file wrappers convert it (WidePath: long ones get
// the "\\?\" form, so a result made under a long name is also put in
// place under it), and split into folder and name in UTF-16, where a
// backslash is never the second byte of a double-byte character.
#include "platform/file_replace.h"

#include <intrin.h>
#include <string.h>
#include <windows.h>

#include "base/wide_string.h"
#include "platform/clock.h"
#include "platform/conversions.h"
#include "platform/file_replace_names.h"
#include "platform/wide_path_win32.h"

namespace {

const WCHAR* W(const WideString& text) { return reinterpret_cast<const WCHAR*>(text.CStr()); }

// Where the file name of a wide path begins (after its last \ / or :).
uint32_t NameStart(const WideString& path) {
    uint32_t start = 0;
    for (uint32_t i = 0; i < path.Length(); ++i)
        if (path[i] == u'\\' || path[i] == u'/' || path[i] == u':') start = i + 1;
    return start;
}

// Not a secret, only hard to guess: CREATE_NEW keeps the file exclusive
// whatever the name. The processor's time-stamp counter (RDTSC, on every
// x86 and x86-64 processor Windows runs on) stands in for
// QueryPerformanceCounter and spares its import.
uint32_t RandomWord() {
    static uint32_t calls;
    const uint32_t cycles = static_cast<uint32_t>(__rdtsc());
    // The stack's address differs from process to process (ASLR).
    uint32_t word = cycles ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&cycles) << 8) ^
                    (++calls << 24) ^ TickCount();
    word ^= word >> 15;
    word *= 0x2C1B3C6Du;
    return word ^ (word >> 12);
}

// path with its file name shortened by the length of the temporary's
// suffix (never below one character, never between the halves of a
// surrogate pair), cut in UTF-16 and given back in the path's code page.
ByteString ShortenedName(const ByteString& path) {
    const uint32_t codePage = UsesUtf8FilePaths() ? CP_UTF8 : CP_ACP;
    const WideString wide = CodePageToWideText(codePage, path);
    const uint32_t nameStart = NameStart(wide);
    const uint32_t suffix = sizeof kTemporaryInfix - 1 + kTemporaryTagLength + sizeof kTemporarySuffix - 1;
    uint32_t keep = wide.Length() - nameStart > suffix ? wide.Length() - suffix : nameStart + 1;
    if (keep > nameStart + 1 && wide[keep] >= 0xDC00 && wide[keep] <= 0xDFFF) --keep;
    const ByteString shortened = WideToCodePageText(codePage, wide.Data(), keep);
    return shortened.Empty() ? path : shortened;
}

}  // namespace

// GENERIC_READ | GENERIC_WRITE, no sharing while the file is built,
// CREATE_NEW: fails on any file already there (OpenMode's packing,
// platform/file_handle.h).
const OpenMode kOpenModeCreateNewExclusive = GENERIC_READ | GENERIC_WRITE | CREATE_NEW << 8;

FileHandle CreateExclusiveFileBeside(const ByteString& path, ByteString* createdPath) {
    ByteString base(path);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const ByteString name = TemporaryNameFor(base, RandomWord());
        FileHandle file = OpenFileHandle(name, kOpenModeCreateNewExclusive);
        if (file != INVALID_HANDLE_VALUE) {
            *createdPath = name;
            return file;
        }
        // A name past the file system's limit: once more with the file
        // name shortened.
        if (GetLastError() == ERROR_FILENAME_EXCED_RANGE && base.Length() == path.Length()) {
            base = ShortenedName(path);
            continue;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return InvalidFileHandle();
}

namespace {

// text with n more units; false and unchanged when the heap refuses. The
// wide texts here need no more than this (no terminated or overlapping
// input), so the program carries no general wide Append.
bool AppendUnits(WideString* text, const char16_t* units, uint32_t n) {
    const uint32_t old = text->Length();
    if (!text->SetLength(old + n)) return false;
    memcpy(text->Data() + old, units, n * sizeof *units);
    return true;
}

}  // namespace

void DeleteLeftoversBeside(const ByteString& path) {
    WideString pattern = WidePath(path);
    if (pattern.Empty()) return;  // no folder to search: not the current one either
    const uint32_t nameStart = NameStart(pattern);
    // Each ? stands for one character of the tag. Without it the search
    // would find the file itself: nothing is deleted then.
    static const char16_t kPattern[] = u".tessel-??????.tmp";
    if (!AppendUnits(&pattern, kPattern, sizeof kPattern / sizeof kPattern[0] - 1)) return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(W(pattern), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
        // The pattern's folder, then the name found.
        const char16_t* name = reinterpret_cast<const char16_t*>(found.cFileName);
        pattern.SetLength(nameStart);
        if (AppendUnits(&pattern, name, WideLength(name))) DeleteFileW(W(pattern));
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

bool FreeSpaceBeside(const ByteString& path, uint64_t* bytes) {
    WideString folder = WidePath(path);
    if (folder.Empty()) return false;
    folder.SetLength(NameStart(folder));
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(folder.Empty() ? NULL : W(folder), &available, NULL, NULL)) return false;
    *bytes = available.QuadPart;
    return true;
}

bool PutFileInPlace(const ByteString& replacement, const ByteString& target, const ByteString& backup) {
    const WideString from = WidePath(replacement), to = WidePath(target);
    if (backup.Empty())
        return MoveFileExW(W(from), W(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    // ReplaceFile keeps the target's attributes and security on the new
    // contents and moves the original to the backup name in the same call.
    // An older backup that stands in its way goes first, once.
    const WideString kept = WidePath(backup);
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

FileHandle CreateOwnFile(const ByteString& path) {
    // The folder's inherited ACL; nobody else may open it while it is ours.
    return OpenFileHandle(path, kOpenModeCreateNewExclusive);
}

FileHandle OpenOwnFile(const ByteString& path) { return OpenFileHandle(path, OpenModeReadOnly); }

void FlushFolderBeside(const ByteString&) {}
