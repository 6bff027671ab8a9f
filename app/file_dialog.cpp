#include "app/file_dialog.h"

#include <stdlib.h>
#include <string.h>

#include "platform/conversions.h"
#include "ui/widget.h"

FileNameDialogCall openFileNameCall = GetOpenFileNameW;
FileNameDialogCall saveFileNameCall = GetSaveFileNameW;

// Bit i of FileDialogOptions -> the bit its OFN_ flag sets. Every OFN_
// flag is a single bit, so its position (one byte) stands for it: 39
// bytes less data than a table of the flags.
constexpr uint8_t BitOf(DWORD flag) { return flag == 1 ? 0 : 1 + BitOf(flag >> 1); }
static const uint8_t optionBits[13] = {
    BitOf(OFN_CREATEPROMPT),       BitOf(OFN_EXTENSIONDIFFERENT), BitOf(OFN_FILEMUSTEXIST),
    BitOf(OFN_HIDEREADONLY),       BitOf(OFN_NOCHANGEDIR),        BitOf(OFN_NODEREFERENCELINKS),
    BitOf(OFN_ALLOWMULTISELECT),   BitOf(OFN_NONETWORKBUTTON),    BitOf(OFN_NOREADONLYRETURN),
    BitOf(OFN_OVERWRITEPROMPT),    BitOf(OFN_PATHMUSTEXIST),      BitOf(OFN_READONLY),
    BitOf(OFN_NOVALIDATE),
};
static_assert(BitOf(OFN_READONLY) == 0 && BitOf(OFN_NODEREFERENCELINKS) == 20, "bit positions");

DWORD FileDialogFlags(FileDialogOptions options) {
    DWORD flags = 0;
    for (unsigned bit = 0; bit < 13; ++bit)
        if (options & (1u << bit)) flags |= DWORD(1) << optionBits[bit];
    return flags;
}

ByteString FilterList(const ByteString& filter) {
    ByteString list(filter);
    if (!list.Append("\0", 1)) return ByteString();
    char* p = list.Data();
    uint32_t n = filter.Length();
    // UTF-8: the bytes of a longer character are all 0x80 and up, so a
    // '|' byte is always the separator.
    for (uint32_t i = 0; i < n; ++i)
        if (p[i] == '|') p[i] = '\0';
    return list;
}

void JoinMultiSelection(WCHAR* buffer, DWORD size) {
    // The list ends at the first pair of NULs; a lone path ends the same way.
    for (DWORD i = 0; i + 1 < size; ++i) {
        if (buffer[i] != '\0') continue;
        if (buffer[i + 1] == '\0') return;
        buffer[i] = '\r';
    }
}

namespace {

const WCHAR* WideOrNull(const WideString& text) {
    return text.Empty() ? nullptr : reinterpret_cast<const WCHAR*>(text.CStr());
}

// Units up to the first NUL, at most size.
uint32_t UnitsBeforeNul(const WCHAR* text, DWORD size) {
    uint32_t n = 0;
    while (n < size && text[n]) ++n;
    return n;
}

}  // namespace

bool FileDialog::execute() {
    OPENFILENAMEW record;
    memset(&record, 0, sizeof record);
    record.lStructSize = OpenFileNameRecordSize;

    // Only a window that already exists is used as owner; asking the main
    // form for EnsureHandle here would create it just for the dialog.
    HWND owner = ownerWindow;
    if (!owner && mainWidget) owner = mainWidget->handle;
    record.hwndOwner = owner;
    record.hInstance = moduleInstance;

    // The list's NULs are converted with it: the wide list ends in two.
    const WideString filterList = filter.Empty() ? WideString() : Utf8ToWideText(FilterList(filter));
    record.lpstrFilter = WideOrNull(filterList);
    record.nFilterIndex = static_cast<DWORD>(filterIndex);
    record.Flags = FileDialogFlags(options) | AlwaysDialogFlags;
    record.nMaxFile = (record.Flags & OFN_ALLOWMULTISELECT) ? MultiNameBufferSize
                                                             : SingleNameBufferSize;

    WCHAR* buffer = static_cast<WCHAR*>(calloc(record.nMaxFile, sizeof(WCHAR)));
    if (!buffer) {
        fileName = ByteString();
        return false;
    }
    const WideString shown = Utf8ToWideText(fileName);
    uint32_t keep = shown.Length();
    if (keep > record.nMaxFile - 1) keep = record.nMaxFile - 1;
    if (keep) memcpy(buffer, shown.Data(), keep * sizeof(WCHAR));
    record.lpstrFile = buffer;

    const WideString folder = Utf8ToWideText(initialDir), caption = Utf8ToWideText(title),
                     extension = Utf8ToWideText(defaultExt);
    record.lpstrInitialDir = WideOrNull(folder);
    record.lpstrTitle = WideOrNull(caption);
    record.lpstrDefExt = reinterpret_cast<const WCHAR*>(extension.CStr());  // "" when empty, never null
    record.lCustData = reinterpret_cast<LPARAM>(this);

    BOOL ok = (isOpenDialog ? openFileNameCall : saveFileNameCall)(&record);
    if (ok) {
        filterIndex = static_cast<int32_t>(record.nFilterIndex);
        readOnlyChecked = (record.Flags & OFN_READONLY) != 0;
        if (options & OptionAllowMultiSelect) JoinMultiSelection(buffer, record.nMaxFile);
        // The system writes a terminated name; the count guards a buffer
        // it filled to the last unit.
        fileName = WideToUtf8Text(reinterpret_cast<const char16_t*>(buffer), UnitsBeforeNul(buffer, record.nMaxFile));
    } else {
        fileName = ByteString();
    }
    free(buffer);
    return ok != 0;
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
