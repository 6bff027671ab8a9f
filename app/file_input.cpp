#include "app/file_input.h"

#include <windows.h>
#include <shellapi.h>

#include "ui/message_routing.h"
#include "ui/properties.h"
#include "ui/widget.h"

namespace {

Widget* g_dropTarget;  // the file box of the one form that accepts drops

bool IsQuoteOrSpace(char c) { return c == '"' || c == ' '; }

// WM_DROPFILES: wParam is the HDROP the shell filled in; DragQueryFileA
// with index 0xFFFFFFFF counts the files, with a buffer copies one name.
// The receiver releases the HDROP with DragFinish.
bool DropHandler(Widget*, MessageRecord* record, LRESULT* result) {
    if (record->message != WM_DROPFILES) return false;
    HDROP drop = reinterpret_cast<HDROP>(record->wParam);
    char name[MAX_PATH];
    if (g_dropTarget && DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0) > 0) {
        UINT n = DragQueryFileA(drop, 0, name, MAX_PATH);
        if (n > 0 && n < MAX_PATH) SetText(g_dropTarget, ByteString(name, n));
    }
    DragFinish(drop);
    *result = 0;
    return true;
}

}  // namespace

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
    DragAcceptFiles(EnsureHandle(form), TRUE);
}
