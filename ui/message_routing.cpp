#include "ui/message_routing.h"

bool appTerminated;

namespace {

// The Widget of a window of this layer, or null. The class procedure is
// checked before GWLP_USERDATA is trusted as a pointer: another module's
// window keeps whatever it likes there.
Widget* LayerWidgetOf(HWND window) {
    if (!window) return nullptr;
    if (GetClassLongPtrW(window, GCLP_WNDPROC) != reinterpret_cast<ULONG_PTR>(&SharedWindowProc))
        return nullptr;
    return reinterpret_cast<Widget*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

}  // namespace

LRESULT CALLBACK SharedWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MessageRecord record;
    record.window = window;
    record.message = message;
    record.wParam = wParam;
    record.lParam = lParam;
    record.time = 0;
    record.pt.x = 0;
    record.pt.y = 0;

    Widget* widget = nullptr;
    if (window) {
        if (creatingWidget) {
            // First message of a window inside CreateWindowExA: adopt it.
            widget = creatingWidget;
            widget->handle = window;
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(widget));
            creatingWidget = nullptr;
        } else {
            widget = reinterpret_cast<Widget*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        }
    }

    if (widget) {
        ++widget->msgDepth;
        LRESULT result = widget->RouteMessage(&record);
        --widget->msgDepth;
        if (widget->msgDepth <= 0 && !widget->destroying) {
            if (widget->refCount < 0) {
                // Released while this message was handled: finish now that
                // nothing of ours is on the stack for it any more.
                widget->Teardown();
            } else if (widget->refCount == 0 && widget->windowDestroyed && widget != mainWidget) {
                Release(widget);
            }
        }
        return result;
    }
    if (mainWidget) return mainWidget->RouteMessage(&record);
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT DefaultProcessing(Widget* widget, MessageRecord* record) {
    if (widget->baseWndProc)
        return CallWindowProcW(widget->baseWndProc, widget->handle, record->message,
                               record->wParam, record->lParam);
    return DefWindowProcW(record->window, record->message, record->wParam, record->lParam);
}

void AddMessageHandler(Widget* widget, MessageHandler handler, bool keep) {
    widget->messageProc = CallMessageHandlers;
    PtrList* list = widget->messageHandlers;
    if (!list) return;
    void* code = reinterpret_cast<void*>(handler);
    for (int32_t i = 0; i + 1 < list->count; i += 2)
        if (list->items[i] == code) return;
    Add(list, code);
    Add(list, reinterpret_cast<void*>(static_cast<uintptr_t>(keep ? 1 : 0)));
}

bool CallMessageHandlers(Widget* widget, MessageRecord* record, LRESULT* result) {
    if (widget->refCount < 0) return false;  // in teardown
    PtrList* list = widget->messageHandlers;
    if (!list || list->count == 0) return false;
    // The held reference keeps the Widget and its list alive even if a
    // handler releases it; the real release waits for this one.
    AddRef(widget);
    const int32_t pairs = list->count / 2;
    for (int32_t i = pairs - 1; i >= 0; --i) {
        MessageHandler handler = reinterpret_cast<MessageHandler>(ItemAt(list, 2 * i));
        bool keep = ItemAt(list, 2 * i + 1) != nullptr;
        if (!handler) continue;
        if (appTerminated && !keep) continue;
        if (handler(widget, record, result)) {
            Release(widget);
            return true;
        }
    }
    Release(widget);
    return false;
}

bool ReflectNotify(Widget*, MessageRecord* record, LRESULT* result) {
    if (record->message != WM_NOTIFY || !record->lParam) return false;
    const NMHDR* header = reinterpret_cast<const NMHDR*>(record->lParam);
    Widget* sender = LayerWidgetOf(header->hwndFrom);
    if (!sender) return false;
    record->window = sender->handle;
    return CallMessageHandlers(sender, record, result);
}

bool FormFocusHandler(Widget* form, MessageRecord* record, LRESULT*) {
    if (record->message != WM_SETFOCUS) return false;
    Widget* current = form->currentControl;
    if (current && current->RealizeWindow()) SetFocus(current->handle);
    if (mainWidget && mainWidget != form) mainWidget->currentControl = form;
    return current != nullptr;
}

bool TakeFocus(Widget* widget) {
    if (!IsEnabled(widget) && !(widget->tabStop && (widget->style & WS_TABSTOP))) return false;
    ++widget->focusing;
    SetFocus(widget->handle);
    --widget->focusing;
    return true;
}

bool IsEnabled(Widget* widget) {
    if (widget->handle) return IsWindowEnabled(widget->handle) != FALSE;
    return (widget->style & WS_DISABLED) == 0;
}

bool IsMainForm(Widget* widget) {
    if (mainWidget) return widget == mainWidget;
    return !widget->isControl;
}

Widget* OwningForm(Widget* widget) {
    while (widget && widget->isControl) widget = widget->parent;
    return widget;
}

bool PumpOneMessage() {
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    if (msg.message == WM_QUIT) {
        appTerminated = true;
        return true;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    return (msg.message & 0xFFFF) != 0;
}

void PumpPending() {
    while (PumpOneMessage()) {
    }
}

void MessageLoop(Widget** mainFormVariable) {
    mainWidget = *mainFormVariable;
    // A main form whose window cannot be made could never be closed: the
    // loop would wait for ever on an invisible process. End at once.
    bool running = mainWidget && mainWidget->RealizeWindow();
    while (running && !appTerminated) {
        WaitMessage();
        PumpPending();
    }
    if (*mainFormVariable) Shutdown(mainFormVariable);
}

void Shutdown(Widget** mainFormVariable) {
    appTerminated = true;
    Widget* form = mainWidget;
    mainWidget = nullptr;
    if (!form) return;
    AddRef(form);
    *mainFormVariable = nullptr;
    Release(form);
    Release(form);
}
