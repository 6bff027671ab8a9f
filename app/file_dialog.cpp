#include "app/file_dialog.h"

#include <stdlib.h>
#include <string.h>

#include "ui/widget.h"

FileNameDialogCall openFileNameCall = GetOpenFileNameA;
FileNameDialogCall saveFileNameCall = GetSaveFileNameA;

// Bit i of FileDialogOptions -> its OFN_ flag.
static const DWORD optionFlags[13] = {
    OFN_CREATEPROMPT,       OFN_EXTENSIONDIFFERENT, OFN_FILEMUSTEXIST,
    OFN_HIDEREADONLY,       OFN_NOCHANGEDIR,        OFN_NODEREFERENCELINKS,
    OFN_ALLOWMULTISELECT,   OFN_NONETWORKBUTTON,    OFN_NOREADONLYRETURN,
    OFN_OVERWRITEPROMPT,    OFN_PATHMUSTEXIST,      OFN_READONLY,
    OFN_NOVALIDATE,
};

DWORD FileDialogFlags(FileDialogOptions options) {
    DWORD flags = 0;
    for (unsigned bit = 0; bit < 13; ++bit)
        if (options & (1u << bit)) flags |= optionFlags[bit];
    return flags;
}

ByteString FilterList(const ByteString& filter) {
    ByteString list(filter);
    if (!list.Append("\0", 1)) return ByteString();
    char* p = list.Data();
    uint32_t n = filter.Length();
    for (uint32_t i = 0; i < n; ++i) {
        // In a double-byte code page such as 936 the second byte of a
        // character may be 0x7C ("億" is 83 7C), so only single-byte '|'
        // characters separate entries. IsDBCSLeadByte uses the system ANSI
        // code page, which is the one the texts of this program are in.
        if (IsDBCSLeadByte(static_cast<BYTE>(p[i])) && i + 1 < n) {
            ++i;
            continue;
        }
        if (p[i] == '|') p[i] = '\0';
    }
    return list;
}

void JoinMultiSelection(char* buffer, DWORD size) {
    // The list ends at the first pair of NULs; a lone path ends the same way.
    for (DWORD i = 0; i + 1 < size; ++i) {
        if (buffer[i] != '\0') continue;
        if (buffer[i + 1] == '\0') return;
        buffer[i] = '\r';
    }
}

bool FileDialog::execute() {
    OPENFILENAMEA record;
    memset(&record, 0, sizeof record);
    record.lStructSize = OpenFileNameRecordSize;

    // Only a window that already exists is used as owner; asking the main
    // form for EnsureHandle here would create it just for the dialog.
    HWND owner = ownerWindow;
    if (!owner && mainWidget) owner = mainWidget->handle;
    record.hwndOwner = owner;
    record.hInstance = moduleInstance;

    ByteString filterList;
    if (!filter.Empty()) {
        filterList = FilterList(filter);
        record.lpstrFilter = filterList.Empty() ? nullptr : filterList.CStr();
    }
    record.nFilterIndex = static_cast<DWORD>(filterIndex);
    record.Flags = FileDialogFlags(options) | AlwaysDialogFlags;
    record.nMaxFile = (record.Flags & OFN_ALLOWMULTISELECT) ? MultiNameBufferSize
                                                             : SingleNameBufferSize;

    char* buffer = static_cast<char*>(calloc(record.nMaxFile, 1));
    if (!buffer) {
        fileName = ByteString();
        return false;
    }
    uint32_t keep = fileName.Length();
    if (keep > record.nMaxFile - 1) keep = record.nMaxFile - 1;
    if (keep) memcpy(buffer, fileName.Data(), keep);
    record.lpstrFile = buffer;

    record.lpstrInitialDir = initialDir.Empty() ? nullptr : initialDir.CStr();
    record.lpstrTitle = title.Empty() ? nullptr : title.CStr();
    record.lpstrDefExt = defaultExt.CStr();  // "" when empty, never null
    record.lCustData = reinterpret_cast<LPARAM>(this);

    BOOL ok = (isOpenDialog ? openFileNameCall : saveFileNameCall)(&record);
    if (ok) {
        filterIndex = static_cast<int32_t>(record.nFilterIndex);
        readOnlyChecked = (record.Flags & OFN_READONLY) != 0;
        if (options & OptionAllowMultiSelect) JoinMultiSelection(buffer, record.nMaxFile);
        // The system writes a terminated name; strnlen guards a buffer it
        // filled to the last byte.
        fileName = ByteString(buffer, static_cast<uint32_t>(strnlen(buffer, record.nMaxFile)));
    } else {
        fileName = ByteString();
    }
    free(buffer);
    return ok != 0;
}

void FileDialog::Teardown() {
    title = ByteString();
    fileName = ByteString();
    defaultExt = ByteString();
    initialDir = ByteString();
    filter = ByteString();
    DisposeBase(this);
}

FileDialog* newFileDialog(const ByteString& title, const ByteString& initialDir,
                          FileDialogOptions options) {
    FileDialog* dialog = CreateObject<FileDialog>();
    if (!dialog) return nullptr;
    dialog->title = title;
    dialog->initialDir = initialDir;
    dialog->options = options ? options : DefaultFileDialogOptions;
    dialog->isOpenDialog = true;
    return dialog;
}
