// Shared fixtures for the window-layer tests: a form holder that releases
// what it owns, a message pump that leaves the layer's run-loop state alone,
// window-long readers, a subclassing spy that records the messages a real
// window receives, a scoped system colour and an event counter.
//
// Every test runs in a process of its own under ctest, but the suite also
// runs as one process (ui_tests.exe without a filter), so nothing here may
// assume it runs first: control ids, registered classes and GDI objects
// carry over between tests in that case.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "ui/controls.h"
#include "ui/gdi_tool.h"
#include "ui/message_routing.h"
#include "ui/properties.h"
#include "ui/widget.h"

namespace uitest {

// Dispatches whatever is queued for this thread. WM_QUIT is dropped so the
// layer's appTerminated (set only by its own PumpOneMessage) stays false.
inline void Pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

inline LONG_PTR WindowStyle(HWND window) { return GetWindowLongPtrA(window, GWL_STYLE); }
inline LONG_PTR WindowExStyle(HWND window) { return GetWindowLongPtrA(window, GWL_EXSTYLE); }

inline SIZE WindowSize(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

inline SIZE ClientSize(HWND window) {
    RECT r{};
    GetClientRect(window, &r);
    return SIZE{r.right, r.bottom};
}

inline HFONT WindowFont(HWND window) {
    return reinterpret_cast<HFONT>(SendMessageA(window, WM_GETFONT, 0, 0));
}

inline std::string WindowText(HWND window) {
    char buffer[1024] = {};
    GetWindowTextA(window, buffer, sizeof buffer);
    return buffer;
}

inline std::string Str(const ByteString& s) { return std::string(s.CStr(), s.Length()); }

// Owns one top-level form Widget; Release on the last reference destroys it
// together with its controls (they sit in its release list). Clears
// mainWidget when it named this form so later tests start clean.
class FormHolder {
public:
    explicit FormHolder(const char* caption = "uitest")
        : form_(MakeForm(nullptr, ByteString(caption))) {}
    FormHolder(const FormHolder&) = delete;
    FormHolder& operator=(const FormHolder&) = delete;
    ~FormHolder() { Reset(); }

    Widget* get() const { return form_; }
    Widget* operator->() const { return form_; }
    operator Widget*() const { return form_; }

    void Reset() {
        if (!form_) return;
        if (mainWidget == form_) mainWidget = nullptr;
        Widget* old = form_;
        form_ = nullptr;
        Release(old);
        Pump();
    }

private:
    Widget* form_;
};

// The form font the program sets up before it creates any control.
inline void UseProgramFont(Widget* form) {
    GdiTool* font = GetFont(form);
    SetToolColor(font, 0);
    SetFontHeight(font, -12);
    SetFaceName(font, ByteString("Arial"));
    SetFontCharset(font, 0);
}

// One message as a window procedure saw it.
struct Seen {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// Subclasses a real window (GWLP_WNDPROC; the layer keeps its Widget in
// GWLP_USERDATA, so the two do not meet) and records every message before
// passing it on. `before` runs at the moment a message arrives, before the
// layer sees it: the place to look at state the layer is about to change.
class MessageSpy {
public:
    explicit MessageSpy(HWND window) : window_(window) {
        SetPropA(window_, kProp, this);
        previous_ = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Proc)));
    }
    MessageSpy(const MessageSpy&) = delete;
    MessageSpy& operator=(const MessageSpy&) = delete;
    ~MessageSpy() { Detach(); }

    void Detach() {
        if (!window_) return;
        if (IsWindow(window_) &&
            GetWindowLongPtrA(window_, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&Proc)) {
            SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_));
        }
        if (IsWindow(window_)) RemovePropA(window_, kProp);
        window_ = nullptr;
    }

    std::vector<Seen> seen;
    std::function<void(const Seen&)> before;

    std::vector<Seen> Only(UINT message) const {
        std::vector<Seen> out;
        for (const Seen& s : seen)
            if (s.message == message) out.push_back(s);
        return out;
    }

private:
    static constexpr const char* kProp = "uitest.spy";

    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        MessageSpy* spy = static_cast<MessageSpy*>(GetPropA(window, kProp));
        if (!spy) return DefWindowProcA(window, message, wParam, lParam);
        WNDPROC previous = spy->previous_;
        Seen s{message, wParam, lParam};
        spy->seen.push_back(s);
        if (spy->before) spy->before(s);
        if (message == WM_NCDESTROY) {
            // The window is going: restore the chain so nothing calls back
            // into a spy that may already be gone.
            SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
            RemovePropA(window, kProp);
            spy->window_ = nullptr;
        }
        return CallWindowProcA(previous, window, message, wParam, lParam);
    }

    HWND window_;
    WNDPROC previous_ = nullptr;
};

// Changes one system colour for the scope and restores it afterwards.
// SetSysColors broadcasts WM_SYSCOLORCHANGE to every top-level window.
class ScopedSysColor {
public:
    ScopedSysColor(int index, COLORREF value) : index_(index), saved_(GetSysColor(index)) {
        SetSysColors(1, &index_, &value);
    }
    ~ScopedSysColor() { SetSysColors(1, &index_, &saved_); }

private:
    int index_;
    COLORREF saved_;
};

// EventHandler target that counts its calls and remembers the last sender.
struct EventCounter {
    int calls = 0;
    RefObject* lastSender = nullptr;
    std::function<void()> onCall;

    EventHandler Slot() { return EventHandler{&Fire, this}; }

    static void Fire(void* context, RefObject* sender) {
        EventCounter* self = static_cast<EventCounter*>(context);
        ++self->calls;
        self->lastSender = sender;
        if (self->onCall) self->onCall();
    }
};

// Extent of text in the given font, measured on a fresh screen-compatible
// DC: the reference the layer's own measurement is compared with.
inline SIZE ExtentInFont(HFONT font, const std::string& text) {
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    SIZE size{};
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    DeleteDC(dc);
    return size;
}

}  // namespace uitest
