#include "patch/backup_copy.h"

#include "platform/file_handle.h"

ByteString BackupPathFor(const ByteString& targetPath) {
    ByteString path(targetPath);
    path.Append(".bak");
    return path;
}

namespace {

bool FlushFileAt(const ByteString& path) {
    FileHandle file = OpenFileHandle(path, OpenModeReadWriteExisting);
    if (!IsValidFileHandle(file)) return false;
    const bool flushed = FlushFileHandle(file);
    return CloseFileHandle(file) && flushed;
}

}  // namespace

bool MakeBackupCopy(const ByteString& targetPath, const ByteString& backupPath, FileProgressFunction progress,
                    void* context) {
    if (!IsPlainFileOrAbsent(backupPath)) return false;
    ByteString partial(backupPath);
    partial.Append(".partial");
    // A leftover of a run that was killed while copying goes first; a link
    // under this name is deleted, not written through.
    DeleteFileAtPath(partial);
    if (CopyFileOverwrite(targetPath, partial, progress, context) && FlushFileAt(partial) &&
        RenameFileReplacing(partial, backupPath))
        return true;
    DeleteFileAtPath(partial);
    return false;
}
