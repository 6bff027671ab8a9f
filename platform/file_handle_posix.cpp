// The file wrappers on POSIX, giving the results the Win32 calls give: the
// host build runs the same stream and patch code over them.
#include "platform/file_handle.h"
#include "platform/file_faults.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

FileFaultHook faultHook = nullptr;
uint32_t g_lastError;  // LastFileError

// An injected fault fails as an I/O error would.
bool Faulted(FileOperation operation) {
    if (!faultHook || !faultHook(operation)) return false;
    errno = EIO;
    return true;
}

// The public wrappers below note errno when they fail; a failure that set
// none (a refused argument) counts as EINVAL.
template <class Result>
Result Noted(Result result, bool failed) {
    if (failed) g_lastError = errno ? static_cast<uint32_t>(errno) : EINVAL;
    return result;
}

// CreateFileA's numbers, so the OpenMode words mean the same here.
const uint32_t GenericRead = 0x80000000u;
const uint32_t GenericWrite = 0x40000000u;
const uint32_t GenericAll = 0x10000000u;
const uint32_t ShareRead = 0x1u;
const uint32_t ShareWrite = 0x2u;
const uint32_t CreateNew = 1, CreateAlways = 2, OpenExisting = 3, OpenAlways = 4,
               TruncateExisting = 5;

int ToDescriptor(FileHandle handle) {
    if (!IsValidFileHandle(handle)) return -1;
    return static_cast<int>(reinterpret_cast<intptr_t>(handle));
}

FileHandle FromDescriptor(int fd) {
    return reinterpret_cast<FileHandle>(static_cast<intptr_t>(fd));
}

// Descriptor 0 would look like a null handle: move it out of the way.
int AvoidDescriptorZero(int fd) {
    if (fd != 0) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return moved;
}

// Windows share modes decide whether a second open may proceed; advisory
// locks give the same answer between opens made through this file.
bool LockForShareMode(int fd, uint32_t access, uint32_t share) {
    if (share & ShareWrite) return true;
    bool writes = (access & (GenericWrite | GenericAll)) != 0;
    int operation = (!writes && (share & ShareRead)) ? LOCK_SH : LOCK_EX;
    while (flock(fd, operation | LOCK_NB) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

}  // namespace

void UseUtf8FilePaths() {}

static FileHandle OpenFileHandleUnnoted(const ByteString& path, OpenMode mode) {
    if (Faulted(FileOperation::Open)) return InvalidFileHandle();
    OpenModeArguments args = DecodeOpenMode(mode);
    if (path.Empty()) return InvalidFileHandle();

    bool reads = (args.access & (GenericRead | GenericAll)) != 0;
    bool writes = (args.access & (GenericWrite | GenericAll)) != 0;
    // O_NOCTTY: a terminal named as a target never becomes this process's.
    int flags = O_CLOEXEC | O_NOCTTY;
    if (reads && writes) flags |= O_RDWR;
    else if (writes) flags |= O_WRONLY;
    else flags |= O_RDONLY;

    bool truncate = false;
    switch (args.disposition) {
    case CreateNew: flags |= O_CREAT | O_EXCL; break;
    case CreateAlways: flags |= O_CREAT; truncate = true; break;
    case OpenExisting: break;
    case OpenAlways: flags |= O_CREAT; break;
    case TruncateExisting: truncate = true; break;
    default: return InvalidFileHandle();
    }
    if (truncate && !writes) return InvalidFileHandle();

    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer, forever; cleared at once, so reads and writes block as usual.
    int fd;
    do {
        fd = open(path.CStr(), flags | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return InvalidFileHandle();
    fd = AvoidDescriptorZero(fd);
    if (fd < 0) return InvalidFileHandle();
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode) ||
        !LockForShareMode(fd, args.access, args.share)) {
        close(fd);
        return InvalidFileHandle();
    }
    // Truncate only once the lock is held: a file that another open keeps
    // from being shared must come out of a failed open untouched.
    if (truncate && ftruncate(fd, 0) != 0) {
        close(fd);
        return InvalidFileHandle();
    }
    return FromDescriptor(fd);
}

static bool CloseFileHandleUnnoted(FileHandle handle) {
    int fd = ToDescriptor(handle);
    if (fd < 0) return false;
    // A faulted close still releases the descriptor, as a close that
    // reports a deferred write error does.
    const bool faulted = Faulted(FileOperation::Close);
    // The descriptor is gone after close() even when it reports EINTR.
    const bool closed = close(fd) == 0 || errno == EINTR;
    return closed && !faulted;
}

static uint32_t SeekFileHandleUnnoted(FileHandle handle, int32_t offset, SeekOrigin origin) {
    if (Faulted(FileOperation::Seek)) return InvalidPosition;
    int fd = ToDescriptor(handle);
    if (fd < 0) return InvalidPosition;
    int64_t base;
    switch (origin) {
    case SeekOrigin::Beginning: base = 0; break;
    case SeekOrigin::Current: base = lseek(fd, 0, SEEK_CUR); break;
    case SeekOrigin::End: {
        struct stat info;
        base = fstat(fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
        break;
    }
    default: return InvalidPosition;
    }
    if (base < 0) return InvalidPosition;
    // SetFilePointer without a high word refuses targets before the start of
    // the file and beyond 32 bits, leaving the position where it was.
    int64_t target = base + offset;
    if (target < 0 || target > static_cast<int64_t>(0xFFFFFFFFu)) return InvalidPosition;
    if (lseek(fd, static_cast<off_t>(target), SEEK_SET) != static_cast<off_t>(target))
        return InvalidPosition;
    return static_cast<uint32_t>(target);
}

uint32_t ReadFileHandle(FileHandle handle, void* buffer, uint32_t count) {
    if (Faulted(FileOperation::Read)) return 0;
    int fd = ToDescriptor(handle);
    if (fd < 0) return 0;
    // ReadFile on a disk file returns everything up to the end of the file in
    // one call; read() may stop early, so keep asking until end or error.
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = read(fd, static_cast<char*>(buffer) + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

static uint32_t WriteFileHandleUnnoted(FileHandle handle, const void* buffer, uint32_t count) {
    if (Faulted(FileOperation::Write)) return 0;
    int fd = ToDescriptor(handle);
    if (fd < 0) return 0;
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, static_cast<const char*>(buffer) + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

bool IsRegularFileHandle(FileHandle handle) {
    struct stat info;
    const int fd = ToDescriptor(handle);
    return fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

bool GetFileSizeHandle64(FileHandle handle, uint64_t* size) {
    struct stat info;
    const int fd = ToDescriptor(handle);
    if (fd < 0 || fstat(fd, &info) != 0 || info.st_size < 0) return false;
    *size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool SeekFileHandleTo(FileHandle handle, uint64_t position) {
    if (Faulted(FileOperation::Seek)) return false;
    const int fd = ToDescriptor(handle);
    return fd >= 0 && position <= static_cast<uint64_t>(INT64_MAX) &&
           lseek(fd, static_cast<off_t>(position), SEEK_SET) == static_cast<off_t>(position);
}

uint32_t GetFileSizeHandle(FileHandle handle) {
    int fd = ToDescriptor(handle);
    if (fd < 0) return InvalidFileSize;
    struct stat info;
    if (fstat(fd, &info) != 0) return InvalidFileSize;
    if (info.st_size < 0 || info.st_size > static_cast<off_t>(0xFFFFFFFFu)) return InvalidFileSize;
    return static_cast<uint32_t>(info.st_size);
}

static bool SetEndOfFileHandleUnnoted(FileHandle handle) {
    if (Faulted(FileOperation::SetEnd)) return false;
    int fd = ToDescriptor(handle);
    if (fd < 0) return false;
    off_t position = lseek(fd, 0, SEEK_CUR);
    if (position < 0) return false;
    // Growing: reserve the blocks first, as SetEndOfFile allocates them, so
    // a full disk fails here instead of in a later write. A file system that
    // cannot reserve (EOPNOTSUPP) still gets the plain, sparse extension.
    struct stat info;
    if (fstat(fd, &info) != 0) return false;
    if (position > info.st_size) {
        int reserved = posix_fallocate(fd, info.st_size, position - info.st_size);
        if (reserved != 0 && reserved != EOPNOTSUPP && reserved != EINVAL) {
            errno = reserved;
            return false;
        }
    }
    // Fails on a descriptor opened without write access, as SetEndOfFile does.
    return ftruncate(fd, position) == 0;
}

static bool FlushFileHandleUnnoted(FileHandle handle) {
    if (Faulted(FileOperation::Flush)) return false;
    int fd = ToDescriptor(handle);
    if (fd < 0) return false;
    return fsync(fd) == 0;
}

bool IsPlainFileOrAbsent(const ByteString& path) {
    struct stat info;
    if (lstat(path.CStr(), &info) != 0) return errno == ENOENT;
    return S_ISREG(info.st_mode);
}

static bool DeleteFileAtPathUnnoted(const ByteString& path) {
    return unlink(path.CStr()) == 0 || errno == ENOENT;
}

static bool RenameFileReplacingUnnoted(const ByteString& source, const ByteString& destination) {
    if (Faulted(FileOperation::Rename)) return false;
    return rename(source.CStr(), destination.CStr()) == 0;
}

bool IsExistingFile(const ByteString& path) {
    if (path.Empty()) return false;
    struct stat info;
    if (stat(path.CStr(), &info) != 0) return false;
    return !S_ISDIR(info.st_mode);
}

namespace {

// Steps of a copy: progress comes after each, several times a second even
// on a slow disk.
const size_t kCopyStep = 1u << 20;

// One step of read and write through a buffer, for file systems where the
// kernel cannot copy (copy_file_range refused); the count moved, -1 on a
// failure.
ssize_t CopyThroughBuffer(int in, int out, size_t want) {
    static const size_t kBufferSize = 1u << 20;
    char* buffer = static_cast<char*>(malloc(kBufferSize));
    if (!buffer) return -1;
    ssize_t moved = 0;
    while (static_cast<size_t>(moved) < want) {
        const size_t ask = want - moved < kBufferSize ? want - moved : kBufferSize;
        ssize_t n = read(in, buffer, ask);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n < 0) moved = -1;
            break;
        }
        for (ssize_t written = 0; written < n;) {
            ssize_t w = write(out, buffer + written, static_cast<size_t>(n - written));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                free(buffer);
                return -1;
            }
            written += w;
        }
        moved += n;
    }
    free(buffer);
    return moved;
}

// Every byte of in from its position to its end, onto out; the kernel
// copies where it can (no trip through user memory). False at a failure
// or when the source ends before the size it had.
bool CopyDescriptorBytes(int in, int out, off_t size, FileProgressFunction progress, void* context) {
    bool kernelCopies = true;
    off_t done = 0;
    while (done < size) {
        const size_t want = size - done < static_cast<off_t>(kCopyStep) ? size_t(size - done) : kCopyStep;
        ssize_t n = -1;
#ifdef __linux__
        if (kernelCopies) {
            n = copy_file_range(in, nullptr, out, nullptr, want, 0);
            if (n < 0 && errno == EINTR) continue;
            // Not between these two (another file system, an old kernel):
            // the plain loop from here on.
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP))
                kernelCopies = false;
        }
#else
        kernelCopies = false;
#endif
        if (!kernelCopies) n = CopyThroughBuffer(in, out, want);
        if (n <= 0) return false;
        done += n;
        // Told in 4 KiB units for a file past 32 bits, which no run patches
        // but a copy may still be asked for.
        const int unit = size > 0xFFFFFFFF ? 12 : 0;
        if (progress) progress(context, static_cast<uint32_t>(done >> unit), static_cast<uint32_t>(size >> unit));
    }
    return true;
}

}  // namespace

// As CopyFileA keeps them: the source's permission bits and last-write
// time, on the copy.
static void KeepModeAndTime(int to, const struct stat& source) {
    fchmod(to, source.st_mode & 07777);
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = source.st_mtim;
    futimens(to, times);
}

static bool CopyFileHandleBytesUnnoted(FileHandle in, FileHandle out, FileProgressFunction progress, void* context) {
    if (Faulted(FileOperation::Copy)) return false;
    const int from = ToDescriptor(in), to = ToDescriptor(out);
    struct stat info;
    if (from < 0 || to < 0 || fstat(from, &info) != 0 || lseek(from, 0, SEEK_SET) != 0 ||
        !CopyDescriptorBytes(from, to, info.st_size, progress, context))
        return false;
    KeepModeAndTime(to, info);
    return true;
}

static bool CopyFileOverwriteUnnoted(const ByteString& source, const ByteString& destination,
                                     FileProgressFunction progress, void* context) {
    if (Faulted(FileOperation::Copy)) return false;
    if (source.Empty() || destination.Empty()) return false;
    int in = open(source.CStr(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    struct stat sourceInfo;
    if (fstat(in, &sourceInfo) != 0 || !S_ISREG(sourceInfo.st_mode) ||
        !LockForShareMode(in, GenericRead, ShareRead)) {
        close(in);
        return false;
    }

    // The destination is opened without O_TRUNC and cut only after it has
    // been checked: when both names lead to the same file, cutting it would
    // destroy the source.
    struct stat before;
    bool existed = stat(destination.CStr(), &before) == 0;
    int out = open(destination.CStr(), O_WRONLY | O_CREAT | O_CLOEXEC, sourceInfo.st_mode & 0777);
    if (out < 0) {
        close(in);
        return false;
    }
    struct stat destinationInfo;
    if (fstat(out, &destinationInfo) != 0 || !S_ISREG(destinationInfo.st_mode) ||
        (destinationInfo.st_dev == sourceInfo.st_dev && destinationInfo.st_ino == sourceInfo.st_ino) ||
        !LockForShareMode(out, GenericWrite, ShareRead)) {
        close(out);
        if (!existed) unlink(destination.CStr());
        close(in);
        return false;
    }

    bool ok = ftruncate(out, 0) == 0 && CopyDescriptorBytes(in, out, sourceInfo.st_size, progress, context);
    if (ok) {
        KeepModeAndTime(out, sourceInfo);
    }
    if (close(out) != 0) ok = false;
    close(in);
    // A half-written copy must not pass for a good one.
    const int why = errno;
    if (!ok) unlink(destination.CStr());
    errno = why;
    return ok;
}

bool FileFaultStrikes(FileOperation operation) { return Faulted(operation); }

FileHandle OpenFileHandle(const ByteString& path, OpenMode mode) {
    errno = 0;
    FileHandle file = OpenFileHandleUnnoted(path, mode);
    return Noted(file, !IsValidFileHandle(file));
}
bool CloseFileHandle(FileHandle handle) {
    errno = 0;
    return CloseFileHandleUnnoted(handle) || Noted(false, true);
}
uint32_t SeekFileHandle(FileHandle handle, int32_t offset, SeekOrigin origin) {
    errno = 0;
    const uint32_t position = SeekFileHandleUnnoted(handle, offset, origin);
    return Noted(position, position == InvalidPosition);
}
uint32_t WriteFileHandle(FileHandle handle, const void* buffer, uint32_t count) {
    errno = 0;
    const uint32_t done = WriteFileHandleUnnoted(handle, buffer, count);
    return Noted(done, done < count);
}
bool SetEndOfFileHandle(FileHandle handle) {
    errno = 0;
    return SetEndOfFileHandleUnnoted(handle) || Noted(false, true);
}
bool FlushFileHandle(FileHandle handle) {
    errno = 0;
    return FlushFileHandleUnnoted(handle) || Noted(false, true);
}
bool DeleteFileAtPath(const ByteString& path) {
    errno = 0;
    return DeleteFileAtPathUnnoted(path) || Noted(false, true);
}
bool RenameFileReplacing(const ByteString& source, const ByteString& destination) {
    errno = 0;
    return RenameFileReplacingUnnoted(source, destination) || Noted(false, true);
}
bool CopyFileHandleBytes(FileHandle in, FileHandle out, FileProgressFunction progress, void* context) {
    errno = 0;
    return CopyFileHandleBytesUnnoted(in, out, progress, context) || Noted(false, true);
}
bool CopyFileOverwrite(const ByteString& source, const ByteString& destination, FileProgressFunction progress,
                       void* context) {
    errno = 0;
    return CopyFileOverwriteUnnoted(source, destination, progress, context) || Noted(false, true);
}

uint32_t LastFileError() { return g_lastError; }
void SetLastFileError(uint32_t code) { g_lastError = code; }

bool MakeFileWritable(const ByteString& path) {
    struct stat info;
    if (stat(path.CStr(), &info) != 0) return errno == ENOENT;
    if (info.st_mode & S_IWUSR) return true;
    return chmod(path.CStr(), (info.st_mode & 07777) | S_IWUSR) == 0 || Noted(false, true);
}

FileErrorKind KindOfFileError(uint32_t code, const ByteString& path) {
    switch (code) {
    case EWOULDBLOCK:  // a lock taken for a share mode (OpenFileHandle)
    case ETXTBSY:
    case EBUSY:
        return FileErrorInUse;
    case ENOSPC:
    case EDQUOT:
        return FileErrorDiskFull;
    case EROFS:
        return FileErrorReadOnly;
    case EACCES:
    case EPERM: {
        struct stat info;
        const bool readOnly = stat(path.CStr(), &info) == 0 && !(info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH));
        return readOnly ? FileErrorReadOnly : FileErrorAccessDenied;
    }
    default:
        return FileErrorOther;
    }
}

ByteString FileErrorText(uint32_t code) { return ByteString(strerror(static_cast<int>(code))); }

FileFaultHook SetFileFaultHook(FileFaultHook hook) {
    FileFaultHook previous = faultHook;
    faultHook = hook;
    return previous;
}
