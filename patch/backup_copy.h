// The backup a run makes before it touches the target: whole or not at all.
#pragma once
#include "base/byte_string.h"
#include "platform/file_handle.h"

// Suffix of the backup file: "D:\x\a.bin" -> "D:\x\a.bin.bak".
ByteString BackupPathFor(const ByteString& targetPath);

// Copies the target under a temporary name in the backup's folder, hands
// the copy to the disk, and only then renames it over backupPath, so a
// backup is never half-written under its real name. A copy that fails
// removes its temporary file and leaves an older backup as it was. A backup
// name taken by something other than an ordinary file (a folder, a link, a
// device) is refused and left alone.
// progress (may be null) is told after each step of the copy.
bool MakeBackupCopy(const ByteString& targetPath, const ByteString& backupPath,
                    FileProgressFunction progress = nullptr, void* context = nullptr);
