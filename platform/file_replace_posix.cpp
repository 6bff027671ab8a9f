// The replacement calls on POSIX: open(O_EXCL), statvfs, link and rename,
// with the folder itself flushed so a new name survives a power loss.
#include "platform/file_replace.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include "platform/file_faults.h"
#include "platform/file_replace_names.h"

namespace {

// The folder of path ("." for a bare name) and where its file name begins.
ByteString FolderOf(const ByteString& path, uint32_t* nameStart) {
    const char* text = path.CStr();
    const char* slash = strrchr(text, '/');
    *nameStart = slash ? static_cast<uint32_t>(slash - text + 1) : 0;
    if (!slash) return ByteString(".");
    return slash == text ? ByteString("/") : ByteString(text, static_cast<uint32_t>(slash - text));
}

// fsync on the folder: rename and link are durable only once the folder is.
void FlushFolderOf(const ByteString& path) {
    uint32_t nameStart;
    const int fd = open(FolderOf(path, &nameStart).CStr(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

uint32_t RandomWord() {
    uint32_t word = 0;
    if (getrandom(&word, sizeof word, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof word)) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        word = static_cast<uint32_t>(now.tv_nsec) * 0x2C1B3C6Du ^ static_cast<uint32_t>(getpid());
    }
    return word;
}

// path with its file name shortened by the length of the temporary's
// suffix (never below one byte, and never inside a UTF-8 character), so
// that the temporary is no longer than path itself.
ByteString ShortenedName(const ByteString& path) {
    uint32_t nameStart;
    FolderOf(path, &nameStart);
    const uint32_t suffix = sizeof kTemporaryInfix - 1 + kTemporaryTagLength + sizeof kTemporarySuffix - 1;
    uint32_t keep = path.Length() - nameStart > suffix ? path.Length() - suffix : nameStart + 1;
    while (keep > nameStart + 1 && (static_cast<uint8_t>(path.CStr()[keep]) & 0xC0) == 0x80) --keep;
    return ByteString(path.CStr(), keep);
}

}  // namespace

bool UsesUtf8FilePaths() { return false; }

FileHandle CreateExclusiveFileBeside(const ByteString& path, ByteString* createdPath) {
    if (FileFaultStrikes(FileOperation::Open)) return InvalidFileHandle();
    struct stat original;
    const mode_t mode = stat(path.CStr(), &original) == 0 ? (original.st_mode & 0777) : 0644;
    ByteString base(path);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const ByteString name = TemporaryNameFor(base, RandomWord());
        // O_EXCL makes the creation fail on anything already there, a
        // symbolic link included; O_NOFOLLOW says so once more.
        int fd = open(name.CStr(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            if (errno == ENAMETOOLONG && base.Length() == path.Length()) {
                base = ShortenedName(path);
                continue;
            }
            return InvalidFileHandle();
        }
        if (fd == 0) {  // descriptor 0 would read as a null handle
            const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
            close(fd);
            if (moved < 0) {
                unlink(name.CStr());
                return InvalidFileHandle();
            }
            fd = moved;
        }
        fchmod(fd, mode);
        *createdPath = name;
        return reinterpret_cast<FileHandle>(static_cast<intptr_t>(fd));
    }
    return InvalidFileHandle();
}

void DeleteLeftoversBeside(const ByteString& path) {
    uint32_t nameStart;
    const ByteString folder = FolderOf(path, &nameStart);
    DIR* dir = opendir(folder.CStr());
    if (!dir) return;
    const char* base = path.CStr() + nameStart;
    const uint32_t baseLength = path.Length() - nameStart;
    while (const struct dirent* entry = readdir(dir)) {
        if (!IsTemporaryName(entry->d_name, static_cast<uint32_t>(strlen(entry->d_name)), base, baseLength)) continue;
        ByteString leftover(path.CStr(), nameStart);
        leftover.Append(entry->d_name);
        struct stat info;
        if (lstat(leftover.CStr(), &info) == 0 && S_ISREG(info.st_mode)) unlink(leftover.CStr());
    }
    closedir(dir);
}

bool FreeSpaceBeside(const ByteString& path, uint64_t* bytes) {
    uint32_t nameStart;
    struct statvfs info;
    if (statvfs(FolderOf(path, &nameStart).CStr(), &info) != 0) return false;
    *bytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
    return true;
}

bool PutFileInPlace(const ByteString& replacement, const ByteString& target, const ByteString& backup) {
    if (backup.Empty()) {
        if (!RenameFileReplacing(replacement, target)) return false;
        FlushFolderOf(target);
        return true;
    }
    // The original gets its second name first (a hard link, renamed over
    // the backup), so at every moment target names either the original or
    // the replacement. Where links are not supported it is renamed, which
    // leaves a moment in which only the backup holds it.
    ByteString link(backup);
    link.Append(".partial");
    unlink(link.CStr());
    bool linked = ::link(target.CStr(), link.CStr()) == 0;
    if (linked && (FileFaultStrikes(FileOperation::Rename) || rename(link.CStr(), backup.CStr()) != 0)) {
        unlink(link.CStr());
        return false;
    }
    if (!linked && (FileFaultStrikes(FileOperation::Rename) || rename(target.CStr(), backup.CStr()) != 0))
        return false;
    if (!RenameFileReplacing(replacement, target)) {
        if (!linked) rename(backup.CStr(), target.CStr());
        return false;
    }
    FlushFolderOf(target);
    return true;
}

FileHandle CreateOwnFile(const ByteString& path) {
    if (FileFaultStrikes(FileOperation::Open)) return InvalidFileHandle();
    int fd = open(path.CStr(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd == 0) {  // descriptor 0 would read as a null handle
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        if (moved < 0) unlink(path.CStr());
        fd = moved;
    }
    return fd < 0 ? InvalidFileHandle() : reinterpret_cast<FileHandle>(static_cast<intptr_t>(fd));
}

FileHandle OpenOwnFile(const ByteString& path) {
    const int fd = open(path.CStr(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return InvalidFileHandle();
    struct stat info;
    if (fd == 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        close(fd);
        return InvalidFileHandle();
    }
    return reinterpret_cast<FileHandle>(static_cast<intptr_t>(fd));
}

void FlushFolderBeside(const ByteString& path) { FlushFolderOf(path); }
