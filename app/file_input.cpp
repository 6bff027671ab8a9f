#include "app/file_input.h"

#include <windows.h>
#include <shellapi.h>

#include "platform/conversions.h"
#include "ui/message_routing.h"
#include "ui/properties.h"
#include "ui/widget.h"

namespace {

Widget* g_dropTarget;  // the file box of the one form that accepts drops

bool IsQuoteOrSpace(char c) { return c == '"' || c == ' '; }

// WM_DROPFILES: wParam is the HDROP the shell filled in. DragQueryFileW
// with no buffer gives the first name's length without the NUL (0 when
// there is none), so a name of any length is taken whole, in UTF-16: the
// ANSI call would hand back "?" for what the code page cannot spell. The
// receiver releases the HDROP with DragFinish.
bool DropHandler(Widget*, MessageRecord* record, LRESULT* result) {
    if (record->message != WM_DROPFILES) return false;
    HDROP drop = reinterpret_cast<HDROP>(record->wParam);
    const UINT n = DragQueryFileW(drop, 0, nullptr, 0);
    WideString name;
    if (n > 0 && name.SetLength(n) &&
        DragQueryFileW(drop, 0, reinterpret_cast<WCHAR*>(name.Data()), n + 1) == n)
        SetText(g_dropTarget, WideToUtf8Text(name));
    DragFinish(drop);
    *result = 0;
    return true;
}

}  // namespace

ByteString CommandLineUtf8() {
    const char16_t* line = reinterpret_cast<const char16_t*>(GetCommandLineW());
    return WideToUtf8Text(line, WideString::TextLength(line));
}

ByteString TrimTypedPath(const ByteString& path) {
    uint32_t begin = 0, end = path.Length();
    while (begin < end && IsQuoteOrSpace(path[begin])) ++begin;
    while (end > begin && IsQuoteOrSpace(path[end - 1])) --end;
    return ByteString(path.CStr() + begin, end - begin);
}

ByteString FirstCommandLineArgument(const char* commandLine) {
    if (!commandLine) return ByteString();
    const char* p = commandLine;
    while (*p == ' ' || *p == '\t') ++p;
    const char* end;
    if (*p == '"') {
        end = ++p;
        while (*end && *end != '"') ++end;
    } else {
        end = p;
        while (*end && *end != ' ' && *end != '\t') ++end;
    }
    return ByteString(p, static_cast<uint32_t>(end - p));
}

void AcceptDroppedFiles(Widget* form, Widget* fileBox) {
    g_dropTarget = fileBox;
    AddMessageHandler(form, DropHandler, false);
    // What DragAcceptFiles(window, TRUE) does: the shell posts WM_DROPFILES
    // to windows with WS_EX_ACCEPTFILES. Set directly, it saves the
    // downloaded program an import; the record keeps it for a re-created
    // window.
    form->exStyle |= WS_EX_ACCEPTFILES;
    HWND window = EnsureHandle(form);
    SetWindowLongPtrW(window, GWL_EXSTYLE, GetWindowLongPtrW(window, GWL_EXSTYLE) | WS_EX_ACCEPTFILES);
}
