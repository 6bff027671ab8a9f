// Thin wrappers over the operating system's file calls: the only place where
// the patch layer touches files. On Windows they are the ANSI Win32 calls
// (CreateFileA, SetFilePointer, ReadFile, ...); the POSIX build maps each one
// onto open/lseek/read/write with the same results, so the code above them is
// the same on both. A program may instead have its paths taken as UTF-8
// (UseUtf8FilePaths).
//
// Failures are reported only through return values: a null or invalid handle,
// a position of 0xFFFFFFFF, a count of 0, false.
#pragma once
#include <stdint.h>

#include "base/byte_string.h"

// Process-wide switch, set once at start by a program whose paths are UTF-8
// (the publisher tool, which reads its arguments as UTF-16): from then on the
// calls below that take a path convert it UTF-8 -> UTF-16 and use the wide
// Win32 calls (CreateFileW, GetFileAttributesW, CopyFileW), so a file name in
// any script works on any system code page. Without it paths are ANSI code
// page bytes, as the patcher program has them. POSIX: paths are bytes either
// way; nothing changes.
void UseUtf8FilePaths();

// Pointer-sized: a HANDLE on Windows; on POSIX the file descriptor cast to a
// pointer. Both null and INVALID_HANDLE_VALUE (all bits set, which is also
// the POSIX descriptor -1) mean "no handle"; the POSIX open never hands out
// descriptor 0 as a handle, so null is never a live file there either.
typedef void* FileHandle;

inline FileHandle InvalidFileHandle() {
    return reinterpret_cast<FileHandle>(static_cast<intptr_t>(-1));
}
inline bool IsValidFileHandle(FileHandle handle) {
    return handle != nullptr && handle != InvalidFileHandle();
}

// The numbers of the Win32 move methods FILE_BEGIN, FILE_CURRENT, FILE_END
// (and of SEEK_SET, SEEK_CUR, SEEK_END): file streams pass them on unchanged.
enum class SeekOrigin : uint8_t { Beginning = 0, Current = 1, End = 2 };

// Returned by every seek that fails.
const uint32_t InvalidPosition = 0xFFFFFFFFu;
// Returned by GetFileSizeHandle when the size cannot be had (or does not fit
// in 32 bits: files of 4 GiB or more are outside the design).
const uint32_t InvalidFileSize = 0xFFFFFFFFu;

// OpenMode packs the CreateFileA arguments into one word:
//   bits 0-7   share mode
//   bits 8-15  creation disposition
//   bits 16-31 access rights (the word with its low 16 bits cleared)
//   bits 16-28 also the flags-and-attributes; FILE_ATTRIBUTE_NORMAL (0x80)
//              when they are all zero.
typedef uint32_t OpenMode;
// The flags-and-attributes CreateFileA gets when the mode packs none
// (FILE_ATTRIBUTE_NORMAL).
const uint32_t OpenModeNormalAttributes = 0x80u;
const OpenMode OpenModeReadWriteExisting = 0xC0000301u;  // GENERIC_READ|WRITE, FILE_SHARE_READ, OPEN_EXISTING
const OpenMode OpenModeReadWriteCreate = 0xC0000201u;    // GENERIC_READ|WRITE, FILE_SHARE_READ, CREATE_ALWAYS
const OpenMode OpenModeReadOnly = 0x80000301u;           // GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING

struct OpenModeArguments {
    uint32_t access;
    uint32_t share;
    uint32_t disposition;
    uint32_t flagsAndAttributes;
};

inline OpenModeArguments DecodeOpenMode(OpenMode mode) {
    OpenModeArguments args;
    args.access = mode & 0xFFFF0000u;
    args.share = mode & 0xFFu;
    args.disposition = (mode >> 8) & 0xFFu;
    args.flagsAndAttributes = mode & 0x1FFF0000u;
    if (args.flagsAndAttributes == 0) args.flagsAndAttributes = OpenModeNormalAttributes;
    return args;
}

// CreateFileA with the unpacked arguments; the result is returned unchecked
// (INVALID_HANDLE_VALUE when the open fails).
//
// POSIX: access maps to O_RDONLY/O_WRONLY/O_RDWR, the disposition to
// O_CREAT/O_EXCL/O_TRUNC. A share mode without FILE_SHARE_WRITE is emulated
// with flock(): a shared lock for read-only access with FILE_SHARE_READ, an
// exclusive one otherwise, taken without waiting; a conflicting lock makes the
// open fail as a sharing violation would (before any truncation). This only
// binds other opens that go through this function. Directories cannot be
// opened, as on Windows without FILE_FLAG_BACKUP_SEMANTICS.
FileHandle OpenFileHandle(const ByteString& path, OpenMode mode);
// CloseHandle; true when it succeeded. No handle gives false.
bool CloseFileHandle(FileHandle handle);
// SetFilePointer(handle, offset, NULL, origin): the new position, or
// InvalidPosition when the call fails (bad handle, a target before the start
// of the file or beyond 32 bits); the position is then unchanged.
uint32_t SeekFileHandle(FileHandle handle, int32_t offset, SeekOrigin origin);
// ReadFile / WriteFile: the number of bytes actually moved, 0 on failure.
uint32_t ReadFileHandle(FileHandle handle, void* buffer, uint32_t count);
uint32_t WriteFileHandle(FileHandle handle, const void* buffer, uint32_t count);
// GetFileSize; InvalidFileSize on failure.
uint32_t GetFileSizeHandle(FileHandle handle);
// SetEndOfFile: the file ends at the current position (cut or extended).
// Extending allocates the new space on Windows; POSIX reserves it with
// posix_fallocate first, so a full disk shows here and not in a later write.
bool SetEndOfFileHandle(FileHandle handle);

// FlushFileBuffers / fsync: true once the file's data and size have been
// handed to the disk, so a success reported afterwards is not a promise the
// cache may still break.
bool FlushFileHandle(FileHandle handle);

// GetFileAttributesA: true for an existing file, false for a directory, an
// empty path and a path that names nothing.
bool IsExistingFile(const ByteString& path);

// Told after each step of a long file operation: done of total bytes so
// far. A caller keeps its window alive and moves its bar here.
typedef void (*FileProgressFunction)(void* context, uint32_t done, uint32_t total);

// Copies source over destination: an existing destination is overwritten,
// and gets the source's last-write time (and on POSIX its permission bits),
// as CopyFileA(source, destination, FALSE) gives. The copy goes in large
// steps, progress (may be null) told after each. Windows: a loop of
// ReadFile/WriteFile, not CopyFileEx, whose progress routine wine never
// calls. A copy onto the source itself fails (the source is held open
// without write sharing); POSIX refuses it outright, takes the same locks
// as OpenFileHandle (shared on the source, exclusive on the destination),
// and lets the kernel copy (copy_file_range). Both remove a half-written
// destination when the copy fails.
bool CopyFileOverwrite(const ByteString& source, const ByteString& destination,
                       FileProgressFunction progress = nullptr, void* context = nullptr);


// True when nothing stands at path or an ordinary file does; false for a
// directory, a symbolic link, a device or anything else that a copy written
// to path would go through or fail on.
bool IsPlainFileOrAbsent(const ByteString& path);
// DeleteFileA / unlink; true when the file is gone.
bool DeleteFileAtPath(const ByteString& path);
// Gives the file at source the name destination in one step, replacing an
// existing destination (MoveFileExA with MOVEFILE_REPLACE_EXISTING |
// MOVEFILE_WRITE_THROUGH; rename on POSIX). Both must be in one folder.
bool RenameFileReplacing(const ByteString& source, const ByteString& destination);
