// Whole-file reads and the all-or-nothing write of an output file. Failure
// reasons are the tool's own short texts (not strerror), so the native and
// the Windows build print the same words for the same fault.
//
// Paths are UTF-8. The Windows build opens them through the wide API
// (_wfopen, MoveFileExW, ...), so a file name in any script works on any
// system code page.
#pragma once
#include <stdio.h>

#include <string>
#include <vector>

// Files larger than this are refused: nothing the tool reads (a stub, a
// patch, a description, a patcher) comes near it, and the container's
// lengths are 32-bit.
const size_t kMaxInputBytes = 0x40000000;  // 1 GiB

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& reason);
bool ReadWholeStream(FILE* stream, std::string& bytes, std::string& reason);

// True when path names something that exists and is not a directory.
bool IsRegularFile(const std::string& path);
// Why path cannot be used as an existing file: "is a directory", "no such
// file or directory", or "cannot be opened".
std::string WhyNotAFile(const std::string& path);

// True when both paths exist and name the same file, however they are
// spelt (case, "..", links): the device and inode, or on Windows the volume
// serial number and file index.
bool IsSameFile(const std::string& a, const std::string& b);

// Writes the pieces, in order, to a temporary file beside path, flushes it to
// disk and renames it over path. The temporary is created new under an
// unguessable name and written through the handle that created it
// (CreateExclusiveFileBeside): a link planted beside path is never followed. On any failure the temporary file is
// removed and path is left as it was (absent, or its old content).
bool WriteFileAtomically(const std::string& path, const std::vector<const std::string*>& pieces,
                         std::string& reason);

// Removes a file (UTF-8 path); false when it could not.
bool RemoveFile(const std::string& path);

// path, a dot, 64 random bits and ".tmp": a name beside path nobody can
// guess, for files another program must write by name.
std::string TemporaryNameFor(const std::string& path);
