// The system's open and save dialogs (GetOpenFileNameW / GetSaveFileNameW)
// as an object that keeps its settings between uses and hands the chosen
// name back as a UTF-8 byte string: a name in any script, on any system
// code page.
#pragma once
#include <windows.h>
#include <commdlg.h>
#include <stddef.h>
#include <stdint.h>

#include "base/byte_string.h"
#include "base/ref_object.h"

// Bit i of the set selects one OFN_ flag; bits 13 to 15 select nothing.
typedef uint16_t FileDialogOptions;
enum : FileDialogOptions {
    OptionCreatePrompt = 1u << 0,          // OFN_CREATEPROMPT
    OptionExtensionDifferent = 1u << 1,    // OFN_EXTENSIONDIFFERENT
    OptionFileMustExist = 1u << 2,         // OFN_FILEMUSTEXIST
    OptionHideReadOnly = 1u << 3,          // OFN_HIDEREADONLY
    OptionNoChangeDir = 1u << 4,           // OFN_NOCHANGEDIR
    OptionNoDereferenceLinks = 1u << 5,    // OFN_NODEREFERENCELINKS
    OptionAllowMultiSelect = 1u << 6,      // OFN_ALLOWMULTISELECT
    OptionNoNetworkButton = 1u << 7,       // OFN_NONETWORKBUTTON
    OptionNoReadOnlyReturn = 1u << 8,      // OFN_NOREADONLYRETURN
    OptionOverwritePrompt = 1u << 9,       // OFN_OVERWRITEPROMPT
    OptionPathMustExist = 1u << 10,        // OFN_PATHMUSTEXIST
    OptionReadOnly = 1u << 11,             // OFN_READONLY
    OptionNoValidate = 1u << 12,           // OFN_NOVALIDATE
};
// File and path must exist, read-only box hidden, prompt before overwriting.
const FileDialogOptions DefaultFileDialogOptions =
    OptionFileMustExist | OptionHideReadOnly | OptionOverwritePrompt | OptionPathMustExist;
static_assert(DefaultFileDialogOptions == 0x060C, "the default option set");

// Added to every dialog.
const DWORD AlwaysDialogFlags = OFN_EXPLORER | OFN_LONGNAMES | OFN_ENABLESIZING;
static_assert(AlwaysDialogFlags == 0x00A80000, "OFN_EXPLORER | OFN_LONGNAMES | OFN_ENABLESIZING");
// Name buffer sizes: one path, or a multi-selection list.
const DWORD SingleNameBufferSize = 262;
const DWORD MultiNameBufferSize = 65520;

// The record size without the reserved and FlagsEx fields that Windows 2000
// appended (OPENFILENAME_SIZE_VERSION_400A), so the dialog looks and behaves
// the same on every version. The header's macro is not a constant
// expression, hence offsetof.
const DWORD OpenFileNameRecordSize =
    offsetof(OPENFILENAMEW, lpTemplateName) + sizeof(OPENFILENAMEW::lpTemplateName);
#ifndef _WIN64
static_assert(OpenFileNameRecordSize == 76, "OPENFILENAMEW without the 2000 additions is 76 bytes");
#endif

// Torn down as any RefObject: DisposeBase runs the destructor, which frees
// the five texts.
class FileDialog : public RefObject {
public:
    // Shows the dialog modally; true when the user confirmed a name. On
    // cancel or failure fileName is emptied.
    bool execute();

    // Every text is UTF-8.
    ByteString filter;          // "description|pattern|description|pattern..."
    int32_t filterIndex;        // in, and out after a confirmed dialog
    bool isOpenDialog;          // true: open dialog; false: save dialog
    ByteString initialDir;      // empty: the system's choice
    ByteString defaultExt;
    ByteString fileName;        // in: shown at start; out: the choice, "" after cancel
    ByteString title;           // empty: the system's default title
    FileDialogOptions options;
    HWND ownerWindow;           // borrowed; 0 means the application's main form
    bool readOnlyChecked;       // out
};

// An empty option set selects DefaultFileDialogOptions.
FileDialog* newFileDialog(const ByteString& title, const ByteString& initialDir,
                          FileDialogOptions options);

// The OFN_ flags the set selects (without AlwaysDialogFlags).
DWORD FileDialogFlags(FileDialogOptions options);

// "a|b|c" -> "a", NUL, "b", NUL, "c", NUL, NUL (the returned length counts
// the first terminating NUL; the string's own terminator is the second).
ByteString FilterList(const ByteString& filter);

// Rewrites a returned name buffer up to its first pair of NULs: each NUL
// followed by a non-NUL unit becomes CR, so "dir\0a\0b\0\0" reads
// "dir\ra\rb". Never looks past size units.
void JoinMultiSelection(WCHAR* buffer, DWORD size);

// The system calls execute makes. Tests point these at fakes to see the
// record that would be passed; the program never changes them.
typedef BOOL(WINAPI* FileNameDialogCall)(LPOPENFILENAMEW);
extern FileNameDialogCall openFileNameCall;
extern FileNameDialogCall saveFileNameCall;
