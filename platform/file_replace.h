// Building a file's new contents beside it and putting them in its place in
// one step: the exclusive temporary, the room left in the folder, 64-bit
// positions for files past 2 GiB, and the replacement (with the old file
// kept as a backup when asked). Paths follow UseUtf8FilePaths
// (platform/file_handle.h).
#pragma once
#include <stdint.h>

#include "base/byte_string.h"
#include "platform/file_handle.h"

// Creates a new, empty file "<path>.tessel-XXXXXX.tmp" (six letters or
// digits from the system's random source and the clock) for reading and
// writing, never opening one that exists: CREATE_NEW on Windows,
// O_CREAT | O_EXCL | O_NOFOLLOW on POSIX, where it also takes the permission
// bits of the file at path. Retries a few names; an invalid handle when
// none could be made. A name the file system finds too long (a long file
// name beside which the suffix does not fit) is shortened: its file name
// loses as many characters as the suffix adds. *createdPath receives the name, for the rename and
// the clean-up; the file is never opened again by it.
FileHandle CreateExclusiveFileBeside(const ByteString& path, ByteString* createdPath);

// Deletes the temporaries CreateExclusiveFileBeside made for path that a
// killed run left behind (plain files only).
void DeleteLeftoversBeside(const ByteString& path);

// Bytes the current user may still write in the folder of path
// (GetDiskFreeSpaceEx / statvfs); false when it cannot be had.
bool FreeSpaceBeside(const ByteString& path, uint64_t* bytes);

// Puts the closed file replacement in target's place in one step. With a
// backup name, target becomes the backup (an existing one is replaced):
// ReplaceFile on Windows; on POSIX a hard link of target renamed over the
// backup, then the rename. Without one: MoveFileEx with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH, or rename and the
// folder flushed. All in one folder. On failure target is as it was.
bool PutFileInPlace(const ByteString& replacement, const ByteString& target, const ByteString& backup);

// Whether UseUtf8FilePaths was called (Windows; POSIX paths are bytes either way).
bool UsesUtf8FilePaths();

// The undo journal's calls (patch/undo_journal.h).
// Creates a new file at path for reading and writing, readable by its owner
// only (it holds another file's bytes), never opening one that exists nor
// following a link: O_CREAT | O_EXCL | O_NOFOLLOW, mode 0600 on POSIX;
// CREATE_NEW, unshared, on Windows. An invalid handle otherwise.
FileHandle CreateOwnFile(const ByteString& path);
// Opens an existing ordinary file of ours for reading, never through a
// link: on POSIX O_NOFOLLOW, and a file another user owns is refused too
// (one planted in a shared folder is not trusted). An invalid handle
// otherwise, also when nothing is there.
FileHandle OpenOwnFile(const ByteString& path);
// Makes a name just created in the folder of path survive a power loss:
// fsync of the folder on POSIX; nothing on Windows, where NTFS logs its
// names itself.
void FlushFolderBeside(const ByteString& path);
