// The file wrappers on Win32: each one is a single kernel call, always the
// wide one (paths are converted from UTF-8 or the ANSI code page first).
#include "platform/file_handle.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "base/wide_string.h"
#include "platform/conversions.h"
#include "platform/wide_path_win32.h"

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
static_assert(OpenModeReadWriteAlways ==
                  PackOpenMode(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS),
              "open or create a file to read and write, never emptied, others may read");
static_assert(OpenModeNormalAttributes == FILE_ATTRIBUTE_NORMAL, "no flags: a normal file");
static_assert(static_cast<DWORD>(SeekOrigin::Beginning) == FILE_BEGIN &&
                  static_cast<DWORD>(SeekOrigin::Current) == FILE_CURRENT &&
                  static_cast<DWORD>(SeekOrigin::End) == FILE_END,
              "seek origins are the move methods");
static_assert(InvalidPosition == INVALID_SET_FILE_POINTER && InvalidFileSize == INVALID_FILE_SIZE,
              "the failure values are the calls' own");

namespace {

bool g_utf8Paths;      // set by UseUtf8FilePaths at start
DWORD g_lastError;     // LastFileError

// Every wrapper reports a failed call through here, so the code that made
// the run stop is still there once the run has cleaned up after it.
bool Noted(BOOL ok) {
    if (!ok) g_lastError = GetLastError();
    return ok != FALSE;
}
FileHandle NotedHandle(HANDLE handle) {
    Noted(handle != INVALID_HANDLE_VALUE);
    return handle;
}

const WCHAR* W(const WideString& text) { return reinterpret_cast<const WCHAR*>(text.CStr()); }
WCHAR* W(WideString& text) { return reinterpret_cast<WCHAR*>(text.Data()); }

}  // namespace

// Paths of MAX_PATH units and more are refused by the wide calls unless
// they carry the "\\?\" prefix, which in turn turns off every parsing
// step: the path must be full, with backslashes and no "." or "..". So
// GetFullPathNameW (which takes long input) makes it full first. Below the
// limit (less the 12 units CreateDirectory keeps for a 8.3 name) the path
// goes as it is, relative or not. (A long UNC name, which would need the
// "\\?\UNC\" form, is left as it is.) The path is changed in place, and
// left as it is when the full form cannot be had.
static void UseLongPathForm(WideString* path) {
    static const char16_t kPrefix[] = u"\\\\?\\";
    const uint32_t prefix = sizeof kPrefix / sizeof kPrefix[0] - 1;
    const DWORD units = GetFullPathNameW(W(*path), 0, NULL, NULL);
    WideString full;
    if (units == 0 || (*path)[0] == u'\\' || !full.SetLength(prefix + units)) return;
    memcpy(full.Data(), kPrefix, prefix * sizeof kPrefix[0]);
    const DWORD written = GetFullPathNameW(W(*path), units, W(full) + prefix, NULL);
    if (written == 0 || written >= units) return;
    full.SetLength(prefix + written);
    *path = static_cast<WideString&&>(full);
}

// A path as a NUL-terminated UTF-16 one, from UTF-8 (UseUtf8FilePaths) or
// from the ANSI code page, as the A calls would convert it; the wide calls
// then serve both. Empty when it is not valid UTF-8 (no such file can then
// be named, and the call fails).
WideString WidePath(const ByteString& path) {
    WideString wide = g_utf8Paths ? MultiByteToWide(CP_UTF8, MB_ERR_INVALID_CHARS, path)
                                  : MultiByteToWide(CP_ACP, 0, path);
    if (wide.Length() >= MAX_PATH - 12) UseLongPathForm(&wide);
    return wide;
}

namespace {

DWORD AttributesOf(const ByteString& path) { return GetFileAttributesW(W(WidePath(path))); }

// SetFilePointer, the one seek of both wrappers (SetFilePointerEx would
// cost the program one more import). With high null the distance is a
// signed 32-bit one; with it, high holds the distance's high word and
// receives the new position's. A low word of all ones is a failure only
// when GetLastError says so (with high null it always is one).
bool MoveFilePointer(HANDLE handle, LONG distance, LONG* high, DWORD method, DWORD* position) {
    SetLastError(NO_ERROR);
    *position = SetFilePointer(handle, distance, high, method);
    return *position != INVALID_SET_FILE_POINTER || (high && GetLastError() == NO_ERROR);
}

}  // namespace

void UseUtf8FilePaths() { g_utf8Paths = true; }
bool UsesUtf8FilePaths() { return g_utf8Paths; }

uint32_t LastFileError() { return g_lastError; }
void SetLastFileError(uint32_t code) { g_lastError = code; }

FileHandle OpenFileHandle(const ByteString& path, OpenMode mode) {
    OpenModeArguments args = DecodeOpenMode(mode);
    return NotedHandle(CreateFileW(W(WidePath(path)), args.access, args.share, NULL, args.disposition,
                                   args.flagsAndAttributes, NULL));
}

bool CloseFileHandle(FileHandle handle) {
    if (!IsValidFileHandle(handle)) return false;
    return Noted(CloseHandle(handle));
}

uint32_t SeekFileHandle(FileHandle handle, int32_t offset, SeekOrigin origin) {
    // With no high word the distance is a signed 32-bit value, and a target
    // that is negative or does not fit in 32 bits makes the call fail and
    // leaves the pointer where it was. A real position of 0xFFFFFFFF is
    // indistinguishable from the failure value; files that large are outside
    // the design.
    if (!IsValidFileHandle(handle)) return InvalidPosition;
    DWORD position;
    return Noted(MoveFilePointer(handle, offset, NULL, static_cast<DWORD>(origin), &position)) ? position
                                                                                             : InvalidPosition;
}

namespace {

// ReadFile or WriteFile, which differ only in the direction of the bytes:
// one body for both wrappers.
uint32_t MoveBytes(HANDLE handle, void* buffer, uint32_t count, bool write) {
    if (!IsValidFileHandle(handle)) return 0;
    DWORD done = 0;
    const BOOL ok = write ? WriteFile(handle, buffer, count, &done, NULL) : ReadFile(handle, buffer, count, &done, NULL);
    return Noted(ok) ? done : 0;
}

}  // namespace

uint32_t ReadFileHandle(FileHandle handle, void* buffer, uint32_t count) {
    return MoveBytes(handle, buffer, count, false);
}

uint32_t WriteFileHandle(FileHandle handle, const void* buffer, uint32_t count) {
    return MoveBytes(handle, const_cast<void*>(buffer), count, true);
}

uint32_t GetFileSizeHandle(FileHandle handle) {
    // The size with its high word: a real failure is told from a size whose
    // low word happens to be 0xFFFFFFFF, and a 4 GiB+ file is not taken for
    // a small one.
    uint64_t size;
    return GetFileSizeHandle64(handle, &size) && size < InvalidFileSize ? static_cast<uint32_t>(size)
                                                                          : InvalidFileSize;
}

bool IsRegularFileHandle(FileHandle handle) {
    return IsValidFileHandle(handle) && GetFileType(handle) == FILE_TYPE_DISK;
}

// GetFileSizeEx in place of GetFileSize, which is imported no more: its
// failure is a plain FALSE, where GetFileSize's all-ones low word had to
// be told from a real size through GetLastError.
bool GetFileSizeHandle64(FileHandle handle, uint64_t* size) {
    LARGE_INTEGER found;
    if (!IsValidFileHandle(handle) || !GetFileSizeEx(handle, &found)) return false;
    *size = static_cast<uint64_t>(found.QuadPart);
    return true;
}

bool SeekFileHandleTo(FileHandle handle, uint64_t position) {
    LONG high = static_cast<LONG>(position >> 32);
    DWORD low;
    return IsValidFileHandle(handle) && MoveFilePointer(handle, static_cast<LONG>(position), &high, FILE_BEGIN, &low);
}

bool SetEndOfFileHandle(FileHandle handle) {
    if (!IsValidFileHandle(handle)) return false;
    return Noted(SetEndOfFile(handle));
}

bool IsExistingFile(const ByteString& path) {
    DWORD attributes = AttributesOf(path);
    if (!Noted(attributes != INVALID_FILE_ATTRIBUTES)) return false;
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
    uint64_t total;
    if (!GetFileSizeHandle64(in, &total) || !SeekFileHandleTo(in, 0)) return false;
    // Told in 4 KiB units for a file past 32 bits.
    const int unit = total > 0xFFFFFFFFu ? 12 : 0;
    for (uint64_t done = 0; done < total;) {
        const uint32_t want = total - done < kCopyStep ? static_cast<uint32_t>(total - done) : kCopyStep;
        if (ReadFileHandle(in, buffer, want) != want || WriteFileHandle(out, buffer, want) != want) return false;
        done += want;
        if (progress) progress(context, static_cast<uint32_t>(done >> unit), static_cast<uint32_t>(total >> unit));
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
    FILETIME written;
    if (ok && GetFileTime(in, NULL, NULL, &written)) SetFileTime(out, NULL, NULL, &written);
    free(buffer);
    if (IsValidFileHandle(out) && !CloseHandle(out)) ok = false;
    // The reason of a failure is kept for the caller through the clean-up
    // below (on success the value is of no meaning either way).
    const DWORD error = GetLastError();
    CloseHandle(in);
    // A half-written copy must not pass for a good one.
    if (!ok && IsValidFileHandle(out)) DeleteFileAtPath(destination);
    SetLastError(error);
    return Noted(ok);
}

bool CopyFileHandleBytes(FileHandle in, FileHandle out, FileProgressFunction progress, void* context) {
    uint8_t* buffer = static_cast<uint8_t*>(malloc(kCopyStep));
    const bool ok = buffer && IsValidFileHandle(in) && IsValidFileHandle(out) &&
                    CopyHandleBytes(in, out, buffer, progress, context);
    free(buffer);
    // As CopyFile keeps it: the last-write time.
    FILETIME written;
    if (ok && GetFileTime(in, NULL, NULL, &written)) SetFileTime(out, NULL, NULL, &written);
    return ok;
}

bool FlushFileHandle(FileHandle handle) {
    if (!IsValidFileHandle(handle)) return false;
    return Noted(FlushFileBuffers(handle));
}

bool IsPlainFileOrAbsent(const ByteString& path) {
    DWORD attributes = AttributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND || !Noted(FALSE);
    // A reparse point is a symbolic link or junction: a copy written to it
    // would land wherever it points.
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                          FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool DeleteFileAtPath(const ByteString& path) {
    // A read-only file refuses deletion (ERROR_ACCESS_DENIED): a copy of a
    // read-only target keeps the attribute, and would stay behind.
    MakeFileWritable(path);
    const BOOL deleted = DeleteFileW(W(WidePath(path)));
    return deleted != FALSE || GetLastError() == ERROR_FILE_NOT_FOUND || Noted(FALSE);
}

bool RenameFileReplacing(const ByteString& source, const ByteString& destination) {
    // WRITE_THROUGH: the call returns only once the new name is on disk.
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    return Noted(MoveFileExW(W(WidePath(source)), W(WidePath(destination)), flags));
}

bool MakeFileWritable(const ByteString& path) {
    const DWORD attributes = AttributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) return true;
    const DWORD cleared = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    return Noted(SetFileAttributesW(W(WidePath(path)), cleared));
}

FileErrorKind KindOfFileError(uint32_t code, const ByteString& path) {
    switch (code) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        return FileErrorInUse;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return FileErrorDiskFull;
    case ERROR_WRITE_PROTECT:
        return FileErrorReadOnly;
    case ERROR_ACCESS_DENIED: {
        const DWORD attributes = AttributesOf(path);
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)
                   ? FileErrorReadOnly
                   : FileErrorAccessDenied;
    }
    default:
        return FileErrorOther;
    }
}

ByteString FileErrorText(uint32_t code) {
    // The system's own sentence, in its language, with its line break cut.
    WCHAR text[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0,
                             text, sizeof text / sizeof text[0], NULL);
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ')) --n;
    return WideToUtf8Text(reinterpret_cast<const char16_t*>(text), n);
}
