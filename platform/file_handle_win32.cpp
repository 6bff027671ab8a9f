// The file wrappers on Win32: each one is a single kernel call.
#include "platform/file_handle.h"

#include <stdlib.h>
#include <windows.h>

#include "base/wide_string.h"

// The header's numbers are the SDK's, written out so that it stays the same
// on every platform; here they are checked against the SDK's names.
constexpr OpenMode PackOpenMode(DWORD access, DWORD share, DWORD disposition) {
    return access | disposition << 8 | share;
}
static_assert(OpenModeReadWriteExisting ==
                  PackOpenMode(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING),
              "read and write an existing file, others may read");
static_assert(OpenModeReadWriteCreate ==
                  PackOpenMode(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS),
              "create or empty a file to read and write, others may read");
static_assert(OpenModeReadOnly == PackOpenMode(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
              "read an existing file, others may read");
static_assert(OpenModeNormalAttributes == FILE_ATTRIBUTE_NORMAL, "no flags: a normal file");
static_assert(static_cast<DWORD>(SeekOrigin::Beginning) == FILE_BEGIN &&
                  static_cast<DWORD>(SeekOrigin::Current) == FILE_CURRENT &&
                  static_cast<DWORD>(SeekOrigin::End) == FILE_END,
              "seek origins are the move methods");
static_assert(InvalidPosition == INVALID_SET_FILE_POINTER && InvalidFileSize == INVALID_FILE_SIZE,
              "the failure values are the calls' own");

namespace {

bool g_utf8Paths;  // set by UseUtf8FilePaths; the program never sets it

// A UTF-8 path as a NUL-terminated UTF-16 one; empty when it is not UTF-8
// (no such file can then be named, and the call fails).
WideString WidePath(const ByteString& path) {
    WideString wide;
    const int length = static_cast<int>(path.Length());
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.Data(), length, NULL, 0);
    if (units <= 0 || !wide.SetLength(static_cast<uint32_t>(units))) return WideString();
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.Data(), length,
                        reinterpret_cast<WCHAR*>(wide.Data()), units);
    return wide;
}

const WCHAR* W(const WideString& text) { return reinterpret_cast<const WCHAR*>(text.CStr()); }

}  // namespace

void UseUtf8FilePaths() { g_utf8Paths = true; }
bool UsesUtf8FilePaths() { return g_utf8Paths; }

FileHandle OpenFileHandle(const ByteString& path, OpenMode mode) {
    OpenModeArguments args = DecodeOpenMode(mode);
    if (g_utf8Paths)
        return CreateFileW(W(WidePath(path)), args.access, args.share, NULL, args.disposition,
                           args.flagsAndAttributes, NULL);
    return CreateFileA(path.CStr(), args.access, args.share, NULL, args.disposition,
                       args.flagsAndAttributes, NULL);
}

bool CloseFileHandle(FileHandle handle) {
    if (!IsValidFileHandle(handle)) return false;
    return CloseHandle(handle) != FALSE;
}

uint32_t SeekFileHandle(FileHandle handle, int32_t offset, SeekOrigin origin) {
    if (!IsValidFileHandle(handle)) return InvalidPosition;
    // With no high word the distance is a signed 32-bit value, and a target
    // that is negative or does not fit in 32 bits makes the call fail and
    // leaves the pointer where it was. A real position of 0xFFFFFFFF is
    // indistinguishable from the failure value; files that large are outside
    // the design.
    DWORD result = SetFilePointer(handle, offset, NULL, static_cast<DWORD>(origin));
    return result == INVALID_SET_FILE_POINTER ? InvalidPosition : static_cast<uint32_t>(result);
}

uint32_t ReadFileHandle(FileHandle handle, void* buffer, uint32_t count) {
    if (!IsValidFileHandle(handle)) return 0;
    DWORD done = 0;
    if (!ReadFile(handle, buffer, count, &done, NULL)) return 0;
    return done;
}

uint32_t WriteFileHandle(FileHandle handle, const void* buffer, uint32_t count) {
    if (!IsValidFileHandle(handle)) return 0;
    DWORD done = 0;
    if (!WriteFile(handle, buffer, count, &done, NULL)) return 0;
    return done;
}

uint32_t GetFileSizeHandle(FileHandle handle) {
    if (!IsValidFileHandle(handle)) return InvalidFileSize;
    // Asking for the high word as well tells a real failure from a size whose
    // low word happens to be 0xFFFFFFFF, and keeps a 4 GiB+ file from being
    // taken for a small one.
    DWORD high = 0;
    SetLastError(NO_ERROR);
    DWORD low = GetFileSize(handle, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return InvalidFileSize;
    if (high != 0) return InvalidFileSize;
    return low;
}

bool SetEndOfFileHandle(FileHandle handle) {
    if (!IsValidFileHandle(handle)) return false;
    return SetEndOfFile(handle) != FALSE;
}

bool IsExistingFile(const ByteString& path) {
    DWORD attributes = g_utf8Paths ? GetFileAttributesW(W(WidePath(path))) : GetFileAttributesA(path.CStr());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

namespace {

// Steps of the copy: large enough that the calls cost nothing next to the
// bytes, small enough that progress comes several times a second on a slow
// disk.
const uint32_t kCopyStep = 1u << 20;

// The bytes of in, from its start, to out; false at the first short write
// or failed read, or when the source ends before the size it reported.
bool CopyHandleBytes(HANDLE in, HANDLE out, uint8_t* buffer, FileProgressFunction progress, void* context) {
    const uint32_t total = GetFileSizeHandle(in);
    if (total == InvalidFileSize) return false;
    for (uint32_t done = 0; done < total;) {
        const uint32_t want = total - done < kCopyStep ? total - done : kCopyStep;
        if (ReadFileHandle(in, buffer, want) != want || WriteFileHandle(out, buffer, want) != want) return false;
        done += want;
        if (progress) progress(context, done, total);
    }
    return true;
}

}  // namespace

bool CopyFileOverwrite(const ByteString& source, const ByteString& destination, FileProgressFunction progress,
                       void* context) {
    // The source is open without write sharing while the destination is
    // created, so a copy onto the source itself fails at that open, before
    // CREATE_ALWAYS could empty it.
    HANDLE in = OpenFileHandle(source, OpenModeReadOnly);
    if (!IsValidFileHandle(in)) return false;
    HANDLE out = OpenFileHandle(destination, OpenModeReadWriteCreate);
    uint8_t* buffer = static_cast<uint8_t*>(malloc(kCopyStep));
    bool ok = IsValidFileHandle(out) && buffer && CopyHandleBytes(in, out, buffer, progress, context);
    // The reason is kept for the caller through the clean-up below.
    const DWORD error = ok ? NO_ERROR : GetLastError();
    FILETIME written;
    if (ok && GetFileTime(in, NULL, NULL, &written)) SetFileTime(out, NULL, NULL, &written);
    free(buffer);
    if (IsValidFileHandle(out) && !CloseHandle(out)) ok = false;
    CloseHandle(in);
    // A half-written copy must not pass for a good one.
    if (!ok && IsValidFileHandle(out)) DeleteFileAtPath(destination);
    if (!ok && error != NO_ERROR) SetLastError(error);
    return ok;
}

bool FlushFileHandle(FileHandle handle) {
    if (!IsValidFileHandle(handle)) return false;
    return FlushFileBuffers(handle) != FALSE;
}

bool IsPlainFileOrAbsent(const ByteString& path) {
    DWORD attributes = g_utf8Paths ? GetFileAttributesW(W(WidePath(path))) : GetFileAttributesA(path.CStr());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    // A reparse point is a symbolic link or junction: a copy written to it
    // would land wherever it points.
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                          FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool DeleteFileAtPath(const ByteString& path) {
    const BOOL deleted = g_utf8Paths ? DeleteFileW(W(WidePath(path))) : DeleteFileA(path.CStr());
    return deleted != FALSE || GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool RenameFileReplacing(const ByteString& source, const ByteString& destination) {
    // WRITE_THROUGH: the call returns only once the new name is on disk.
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (g_utf8Paths) return MoveFileExW(W(WidePath(source)), W(WidePath(destination)), flags) != FALSE;
    return MoveFileExA(source.CStr(), destination.CStr(), flags) != FALSE;
}
