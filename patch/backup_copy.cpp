#include "patch/backup_copy.h"

#include "platform/file_replace.h"

ByteString BackupPathFor(const ByteString& targetPath) {
    ByteString path(targetPath);
    path.Append(".bak");
    return path;
}

bool MakeBackupCopy(FileHandle target, const ByteString& backupPath, FileProgressFunction progress,
                    void* context) {
    if (!IsPlainFileOrAbsent(backupPath)) return false;
    // The copy is built in a file created new under a name nobody can
    // guess (CREATE_NEW; O_EXCL | O_NOFOLLOW), written through the handle
    // that created it and never opened by name: a link planted beside the
    // backup is neither followed nor written through. Copies a killed run
    // left go first.
    DeleteLeftoversBeside(backupPath);
    ByteString temporary;
    FileHandle copy = CreateExclusiveFileBeside(backupPath, &temporary);
    if (!IsValidFileHandle(copy)) return false;
    const bool copied = CopyFileHandleBytes(target, copy, progress, context) && FlushFileHandle(copy);
    // The rename replaces whatever stands at the backup name (a link itself,
    // never its target); the older backup goes only once the new one is whole.
    // An older .bak of a read-only target is made writable first: Windows
    // will not rename over a read-only file.
    if (CloseFileHandle(copy) && copied && MakeFileWritable(backupPath) && RenameFileReplacing(temporary, backupPath))
        return true;
    // The clean-up must not take the place of the reason the copy failed.
    const uint32_t why = LastFileError();
    DeleteFileAtPath(temporary);
    SetLastFileError(why);
    return false;
}

bool MakeBackupCopy(const ByteString& targetPath, const ByteString& backupPath, FileProgressFunction progress,
                    void* context) {
    FileHandle target = OpenFileHandle(targetPath, OpenModeReadOnly);
    const bool made = IsRegularFileHandle(target) && MakeBackupCopy(target, backupPath, progress, context);
    CloseFileHandle(target);
    return made;
}
