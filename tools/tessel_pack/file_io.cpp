#include "tools/tessel_pack/file_io.h"

#include <errno.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>

#include "tools/tessel_pack/utf8.h"
#else
#include <unistd.h>
#endif

// --- the operating system's calls, with UTF-8 paths ----------------------

#ifdef _WIN32
typedef struct _stat64 PathInfo;

static std::wstring Wide(const std::string& utf8) {
    const std::u16string units = Utf8ToUtf16(utf8);
    return std::wstring(units.begin(), units.end());
}

static int StatPath(const std::string& path, PathInfo* info) { return _wstat64(Wide(path).c_str(), info); }
static FILE* OpenPath(const std::string& path, const char* mode) {
    return _wfopen(Wide(path).c_str(), Wide(mode).c_str());
}
static int RemovePath(const std::string& path) { return _wremove(Wide(path).c_str()); }
#else
typedef struct stat PathInfo;

static int StatPath(const std::string& path, PathInfo* info) { return stat(path.c_str(), info); }
static FILE* OpenPath(const std::string& path, const char* mode) { return fopen(path.c_str(), mode); }
static int RemovePath(const std::string& path) { return remove(path.c_str()); }
#endif

static bool IsDirectory(const std::string& path) {
    PathInfo info;
    return StatPath(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// --- the tool's file operations -------------------------------------------

static std::string DescribeErrno(int error, const char* fallback) {
    switch (error) {
    case ENOENT: return "no such file or directory";
    case ENOTDIR: return "a part of the path is not a directory";
    case EACCES:
    case EPERM: return "permission denied";
    case EISDIR: return "is a directory";
    case ENOSPC: return "no space left on the device";
    case EROFS: return "read-only file system";
    case ENAMETOOLONG: return "file name too long";
    default: return fallback;
    }
}

bool IsRegularFile(const std::string& path) {
    PathInfo info;
    return StatPath(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

std::string WhyNotAFile(const std::string& path) {
    PathInfo info;
    if (StatPath(path, &info) != 0) return DescribeErrno(errno, "cannot be opened");
    return S_ISDIR(info.st_mode) ? "is a directory" : "cannot be opened";
}

bool IsSameFile(const std::string& a, const std::string& b) {
#ifdef _WIN32
    BY_HANDLE_FILE_INFORMATION info[2];
    const std::string* paths[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        // No access rights needed to read the identity; backup semantics
        // let a directory be opened too.
        HANDLE file = CreateFileW(Wide(*paths[i]).c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        if (file == INVALID_HANDLE_VALUE) return false;
        const BOOL ok = GetFileInformationByHandle(file, &info[i]);
        CloseHandle(file);
        if (!ok) return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
#else
    struct stat first, second;
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
#endif
}

// The size of an open file, or -1 when it has none to tell (a pipe, a
// terminal) or it cannot be had.
static long long SizeOfOpenFile(FILE* stream) {
#ifdef _WIN32
    struct _stat64 info;
    if (_fstat64(_fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
#else
    struct stat info;
    if (fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
#endif
    return static_cast<long long>(info.st_size);
}

bool ReadWholeStream(FILE* stream, std::string& bytes, std::string& reason) {
    bytes.clear();
    // A file is read into a block of its own size, once: a string left to
    // double its way up to a 16 MiB patch made it 32 MiB and faulted every
    // page of each step in again.
    const long long size = SizeOfOpenFile(stream);
    if (size > static_cast<long long>(kMaxInputBytes)) {
        reason = "file too large (over 1 GiB)";
        return false;
    }
    if (size > 0) {
        bytes.resize(static_cast<size_t>(size));
        const size_t got = fread(&bytes[0], 1, bytes.size(), stream);
        if (got < bytes.size()) {
            if (ferror(stream)) {
                reason = DescribeErrno(errno, "read failed");
                return false;
            }
            bytes.resize(got);  // cut short while it was read
            return true;
        }
        // A file that grew meanwhile: the rest as it comes, below.
    }
    char chunk[65536];
    for (;;) {
        const size_t got = fread(chunk, 1, sizeof chunk, stream);
        if (got > 0) {
            if (bytes.size() + got > kMaxInputBytes) {
                reason = "file too large (over 1 GiB)";
                return false;
            }
            bytes.append(chunk, got);
        }
        if (got < sizeof chunk) {
            if (ferror(stream)) {
                reason = DescribeErrno(errno, "read failed");
                return false;
            }
            return true;
        }
    }
}

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& reason) {
    // Checked first: fopen succeeds on a directory on Linux and fails with
    // EACCES on Windows; both builds should say the same thing.
    if (IsDirectory(path)) {
        reason = "is a directory";
        return false;
    }
    FILE* file = OpenPath(path, "rb");
    if (!file) {
        reason = DescribeErrno(errno, "cannot open");
        return false;
    }
    const bool ok = ReadWholeStream(file, bytes, reason);
    fclose(file);
    return ok;
}

std::string TemporaryNameFor(const std::string& path) {
#ifdef _WIN32
    const int pid = _getpid();
#else
    const int pid = static_cast<int>(getpid());
#endif
    return path + "." + std::to_string(pid) + ".tmp";
}

static bool FlushToDisk(FILE* file) {
    if (fflush(file) != 0) return false;
#ifdef _WIN32
    return _commit(_fileno(file)) == 0;
#else
    return fsync(fileno(file)) == 0;
#endif
}

static bool ReplaceFile(const std::string& from, const std::string& to, std::string& reason) {
#ifdef _WIN32
    // rename() refuses to replace an existing file on Windows; MoveFileEx
    // with MOVEFILE_REPLACE_EXISTING does it (still refusing a directory).
    if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    switch (GetLastError()) {
    case ERROR_ACCESS_DENIED: reason = "permission denied"; break;
    case ERROR_PATH_NOT_FOUND: reason = "no such file or directory"; break;
    default: reason = "cannot rename the temporary file into place"; break;
    }
    // A directory by that name is reported as access denied by Windows.
    if (IsDirectory(to)) reason = "is a directory";
    return false;
#else
    if (rename(from.c_str(), to.c_str()) == 0) return true;
    reason = DescribeErrno(errno, "cannot rename the temporary file into place");
    return false;
#endif
}

bool WriteFileAtomically(const std::string& path, const std::vector<const std::string*>& pieces,
                         std::string& reason) {
    if (IsDirectory(path)) {
        reason = "is a directory";
        return false;
    }
    const std::string temporary = TemporaryNameFor(path);
    FILE* file = OpenPath(temporary, "wb");
    if (!file) {
        reason = DescribeErrno(errno, "cannot create");
        return false;
    }
    bool ok = true;
    for (const std::string* piece : pieces) {
        if (!piece->empty() && fwrite(piece->data(), 1, piece->size(), file) != piece->size()) {
            reason = DescribeErrno(errno, "write failed");
            ok = false;
            break;
        }
    }
    if (ok && !FlushToDisk(file)) {
        reason = DescribeErrno(errno, "write failed");
        ok = false;
    }
    // fclose reports a write that the C library had still buffered.
    if (fclose(file) != 0 && ok) {
        reason = DescribeErrno(errno, "write failed");
        ok = false;
    }
    if (ok) ok = ReplaceFile(temporary, path, reason);
    if (!ok) RemovePath(temporary);
    return ok;
}
