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
    // The copy takes the target's read-only attribute with it: cleared, so
    // that it can be flushed, renamed over (and as the .bak replaced by) a
    // later backup, and deleted when this one fails. An older .bak of a
    // read-only target is made writable so the rename may replace it.
    if (CopyFileOverwrite(targetPath, partial, progress, context) && MakeFileWritable(partial) && FlushFileAt(partial) &&
        MakeFileWritable(backupPath) && RenameFileReplacing(partial, backupPath))
        return true;
    // The clean-up must not take the place of the reason the copy failed.
    const uint32_t why = LastFileError();
    DeleteFileAtPath(partial);
    SetLastFileError(why);
    return false;
}
