#include "ui/widget.h"

#include <commctrl.h>
#include <string.h>

#include "platform/conversions.h"
#include "ui/draw_surface.h"
#include "ui/gdi_tool.h"
#include "ui/message_routing.h"
#include "ui/properties.h"

Widget* mainWidget;
Widget* creatingWidget;
// The linker's symbol at the image's first byte: the module handle of the
// program that holds this layer, known without a call (GetModuleHandle)
// or start-up code.
extern "C" IMAGE_DOS_HEADER __ImageBase;
HINSTANCE moduleInstance = reinterpret_cast<HINSTANCE>(&__ImageBase);
uint16_t nextControlId = 0x8000;

namespace {

const uint32_t DefaultWidgetStyle = WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_OVERLAPPEDWINDOW;
static_assert(DefaultWidgetStyle == 0x16CF0000, "WS_VISIBLE | WS_CLIP* | WS_OVERLAPPEDWINDOW");
// Class-style bits a take-over class must not inherit: a private DC per
// window (CS_OWNDC/CS_CLASSDC/CS_PARENTDC) and CS_GLOBALCLASS.
const uint32_t ClassStyleMask = ~static_cast<uint32_t>(CS_OWNDC | CS_CLASSDC | CS_PARENTDC | CS_GLOBALCLASS);
static_assert(ClassStyleMask == 0xFFFFBF1F, "all class-style bits but CS_OWNDC/CLASSDC/PARENTDC/GLOBALCLASS");

}  // namespace

bool DeclineMessage(Widget*, MessageRecord*, LRESULT*) { return false; }

void NoAction(Widget*) {}

void Widget::Setup() {
    messageProc = DeclineMessage;
    clickProc = NoAction;
    autoSizeProc = NoAction;
    classStyle = CS_OWNDC;
    style = DefaultWidgetStyle;
    exStyle = WS_EX_CONTROLPARENT;
    childEdge = true;
    clientEdge = true;
    textColor = DefaultTextColor;
    color = ColorBtnFace;
    border = 2;
    messageHandlers = CreatePtrList();
    children = CreatePtrList();
}

void Widget::Construct(Widget* newParent) {
    Setup();
    if (newParent) color = newParent->color;
    Reparent(this, newParent);
}

Widget* MakeWidget(Widget* parent) {
    Widget* widget = AllocateObject<Widget>();
    if (widget) widget->Construct(parent);
    return widget;
}

HWND EnsureHandle(Widget* widget) {
    if (!widget) return nullptr;
    if (widget->handle) return widget->handle;
    ApplyVisibility(widget, false);
    widget->RealizeWindow();
    widget->pendingShow = true;
    return widget->handle;
}

void RealizeChildren(Widget* widget) {
    // Indexed afresh each pass: realizing a child never changes the list,
    // but a handler run by its creation might.
    for (int32_t i = 0; widget->children && i < widget->children->count; ++i) {
        Widget* child = static_cast<Widget*>(ItemAt(widget->children, i));
        if (child) child->RealizeWindow();
    }
}

HWND ParentHandle(Widget* widget, bool create) {
    if (!widget->parent) return nullptr;
    if (create) return EnsureHandle(widget->parent);
    return widget->parent->handle;
}

void RegisteredClassName(const Widget* widget, char buffer[64]) {
    static const char prefix[] = "obj_";
    size_t used = sizeof(prefix) - 1;
    memcpy(buffer, prefix, used);
    const char* name = widget->className ? widget->className : "";
    size_t n = strlen(name);
    if (n > 63 - used) n = 63 - used;
    memcpy(buffer + used, name, n);
    buffer[used + n] = 0;
}

HICON WindowIcon(Widget* widget) {
    if (widget->icon == NoIcon) return nullptr;
    if (widget->icon) return widget->icon;
    if (mainWidget && mainWidget != widget) {
        HICON shared = WindowIcon(mainWidget);
        if (!shared) return nullptr;
        // A copy of our own, because Teardown destroys the icon it holds.
        widget->icon = static_cast<HICON>(CopyImage(shared, IMAGE_ICON, 0, 0, 0));
        return widget->icon;
    }
    widget->icon = LoadIconA(moduleInstance, "MAINICON");
    return widget->icon;
}

void Reparent(Widget* widget, Widget* newParent) {
    if (widget->parent == newParent) return;
    if (widget->parent) {
        if (widget->parent->children) Remove(widget->parent->children, widget);
        RemoveAutoFree(widget->parent, widget);
    }
    widget->parent = newParent;
    if (newParent) {
        if (newParent->children) Add(newParent->children, widget);
        AddAutoFree(newParent, widget);
        if (widget->handle) SetParent(widget->handle, EnsureHandle(newParent));
    }
    if (widget->handle) InvalidateRect(widget->handle, nullptr, TRUE);
}

void ApplyVisibility(Widget* widget, bool show) {
    if (show)
        widget->style |= WS_VISIBLE;
    else
        widget->style &= ~static_cast<uint32_t>(WS_VISIBLE);
    if (widget->handle) {
        ShowWindow(widget->handle, show ? SW_SHOW : SW_HIDE);
        if (!show) widget->pendingShow = false;
    }
}

LRESULT Perform(Widget* widget, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendMessageW(EnsureHandle(widget), message, wParam, lParam);
}

// InitCommonControlsEx is in every comctl32 from Windows 2000 on (the
// manifest binds version 6): imported directly, not looked up.
void InitCommonControlClasses(uint32_t classFlags) {
    INITCOMMONCONTROLSEX icc;
    icc.dwSize = sizeof(icc);  // 8 on both pointer sizes
    icc.dwICC = classFlags;
    InitCommonControlsEx(&icc);
}

namespace {

// Where CreateWindowExA puts the window: the stored bounds, with the system's
// choice for a form never placed and for a dimension never set.
struct Placement {
    int x;
    int y;
    int width;
    int height;
};

Placement CreationPlacement(const Widget* widget) {
    Placement p;
    p.x = widget->bounds.left;
    p.y = widget->bounds.top;
    if (!widget->isControl && !(widget->positionSet & (PositionLeftSet | PositionTopSet))) {
        p.x = CW_USEDEFAULT;
        p.y = CW_USEDEFAULT;
    }
    p.width = widget->bounds.right - widget->bounds.left;
    p.height = widget->bounds.bottom - widget->bounds.top;
    if (p.width == 0) p.width = CW_USEDEFAULT;
    if (p.height == 0) p.height = CW_USEDEFAULT;
    return p;
}

// A window already made: its children are made too, and a show that waited
// for the window happens now.
void RealizeExistingWindow(Widget* widget) {
    RealizeChildren(widget);
    if (widget->pendingShow) {
        ApplyVisibility(widget, true);
        widget->pendingShow = false;
    }
}

// Class names are ASCII ("obj_" and a system class's name): widened unit
// by unit for the wide calls, at most limit units and a NUL.
__attribute__((noinline)) void Widen(const char* name, WCHAR* units, int limit) {
    int i = 0;
    for (; name && name[i] && i < limit; ++i) units[i] = static_cast<unsigned char>(name[i]);
    units[i] = 0;
}
struct WideClassName {
    WCHAR units[64];
    explicit WideClassName(const char* name) { Widen(name, units, 63); }
    // RegisteredClassName's name, made in UTF-16 directly.
    explicit WideClassName(const Widget* widget) {
        Widen("obj_", units, 4);
        Widen(widget->className, units + 4, 59);
    }
};

// The class the Widget's window is made from. Records the procedure it takes
// over (the system class's, or none for "Form") as the Widget's baseWndProc.
// The classes are Unicode classes: every text reaches the windows as UTF-16,
// so a text the ANSI code page cannot hold still shows.
WNDCLASSW WindowClassFor(Widget* widget) {
    WNDCLASSW wc;
    memset(&wc, 0, sizeof(wc));
    wc.style = widget->classStyle;
    wc.lpfnWndProc = widget->baseWndProc;
    wc.hInstance = moduleInstance;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    // No class brush: a form paints its own background (FormBackgroundHandler).
    if (widget->className) {
        // Superclassing: a system class ("BUTTON", "EDIT", ...) lends its
        // procedure, cbWndExtra and cursor; GetClassInfoW finds global
        // classes whatever hInstance is passed, and gives their wide
        // procedure. "Form" is found nowhere.
        WNDCLASSW system;
        if (GetClassInfoW(moduleInstance, WideClassName(widget->className).units, &system)) wc = system;
        wc.hInstance = moduleInstance;
        wc.style &= ClassStyleMask;
    }
    if (!widget->baseWndProc) widget->baseWndProc = wc.lpfnWndProc;
    return wc;
}

// Registers the class under the layer's name, with the shared window
// procedure, unless an earlier Widget of the same class already did.
bool EnsureClassRegistered(WNDCLASSW* wc, const WCHAR* registeredName) {
    WNDCLASSW existing;
    if (GetClassInfoW(moduleInstance, registeredName, &existing)) return true;
    wc->lpszClassName = registeredName;
    wc->lpfnWndProc = SharedWindowProc;
    return RegisterClassW(wc) != 0;
}

// CreateWindowExW for the Widget; the window adopts it in its first message
// (SharedWindowProc). False, with no window recorded, when the call fails.
bool CreateWidgetWindow(Widget* widget, const WCHAR* registeredName, HWND parentWindow) {
    const Placement p = CreationPlacement(widget);
    const WideString windowName = Utf8ToWideText(widget->text);
    creatingWidget = widget;
    widget->windowDestroyed = false;
    // The new window's messages arrive inside CreateWindowExW. Counting
    // them as a message of this Widget keeps the router from releasing it
    // under us should the window be destroyed again during creation.
    ++widget->msgDepth;
    HWND created = CreateWindowExW(widget->exStyle, registeredName,
                                   windowName.Empty() ? nullptr : reinterpret_cast<const WCHAR*>(windowName.CStr()),
                                   widget->style, p.x, p.y, p.width, p.height, parentWindow,
                                   reinterpret_cast<HMENU>(static_cast<uintptr_t>(widget->controlId)),
                                   moduleInstance, nullptr);
    --widget->msgDepth;
    widget->handle = created;
    if (!created) {
        // No message may take a later window for this failed one.
        if (creatingWidget == widget) creatingWidget = nullptr;
        widget->windowDestroyed = false;
        return false;
    }
    return true;
}

// The new window gets what the Widget holds for it: focus rectangles shown,
// the Widget pointer (if no message stored it yet), a form's icon, the font,
// and the windows of the children.
void SetUpCreatedWindow(Widget* widget) {
    // Clear UISF_HIDEFOCUS so focus rectangles show before any keyboard use.
    SendMessageW(widget->handle, WM_UPDATEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
    if (GetWindowLongPtrW(widget->handle, GWLP_USERDATA) == 0) {
        creatingWidget = nullptr;
        SetWindowLongPtrW(widget->handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(widget));
    }
    if (!widget->isControl)
        Perform(widget, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(WindowIcon(widget)));
    ApplyFont(widget);
    RealizeChildren(widget);
}

}  // namespace

// Steps: the parent first; a window already made only shows; otherwise the
// class, its registration, the window, and what the new window is given.
bool Widget::RealizeWindow() {
    if (parent && !EnsureHandle(parent)) return false;
    if (handle) {
        RealizeExistingWindow(this);
        return true;
    }
    WNDCLASSW windowClass = WindowClassFor(this);
    HWND parentWindow = ParentHandle(this, true);
    if (!parentWindow && (style & WS_CHILD)) return false;
    const WideClassName wideName(static_cast<const Widget*>(this));
    if (!EnsureClassRegistered(&windowClass, wideName.units)) return false;
    if (!CreateWidgetWindow(this, wideName.units, parentWindow)) return false;
    SetUpCreatedWindow(this);
    return true;
}

namespace {

// The colour messages RouteMessage hands to the control they are for.
const UINT ColorMessageFirst = WM_CTLCOLORMSGBOX;   // 0x132
const UINT ColorMessageLast = WM_CTLCOLORSTATIC;    // 0x138

bool KeyDown(int virtualKey) { return GetKeyState(virtualKey) < 0; }

}  // namespace

LRESULT Widget::RouteMessage(MessageRecord* record) {
    // Adopt the window only when it is our own: messages of windows whose
    // Widget is gone are routed to mainWidget too.
    if (record->window && !handle &&
        reinterpret_cast<Widget*>(GetWindowLongPtrW(record->window, GWLP_USERDATA)) == this)
        handle = record->window;

    LRESULT result = 0;
    if (messageProc(this, record, &result)) return result;

    const UINT message = record->message;
    switch (message) {
    case WM_CLOSE:
        if (IsMainForm(this)) PostQuitMessage(0);
        return DefaultProcessing(this, record);  // destroys the window
    case WM_DESTROY:
        if (record->window == handle) windowDestroyed = true;
        return DefaultProcessing(this, record);
    case WM_NCDESTROY:
        return 0;
    case WM_SETFOCUS:
        if (TakeFocus(this)) {
            ++focusing;
            result = DefaultProcessing(this, record);
            --focusing;
            return result;
        }
        return 0;
    case WM_COMMAND:
        // lParam is the sending control; null for menus and accelerators.
        if (record->lParam &&
            GetWindowLongPtrW(reinterpret_cast<HWND>(record->lParam), GWLP_USERDATA) != 0)
            return SendMessageW(reinterpret_cast<HWND>(record->lParam), ReflectedCommand,
                                record->wParam, record->lParam);
        return DefaultProcessing(this, record);
    default:
        break;
    }
    if (message >= ColorMessageFirst && message <= ColorMessageLast) {
        // The control answers for itself (ReflectedColorHandler).
        return SendMessageW(reinterpret_cast<HWND>(record->lParam), message + ReflectedColorBase,
                            record->wParam, record->lParam);
    }
    // No dialog navigation runs in this loop; a Tab character (without
    // Ctrl or Alt) would only make edit boxes beep or insert a tab.
    if (message == WM_CHAR && (record->wParam & 0xFF) == '\t' && !KeyDown(VK_CONTROL) && !KeyDown(VK_MENU))
        return 0;
    return DefaultProcessing(this, record);
}

void Widget::Teardown() {
    // A Release while a message of this Widget is still being handled
    // (a handler releasing its own Widget) is finished by SharedWindowProc
    // when that message returns; a second Teardown of a Widget already
    // going does nothing.
    if (destroying || msgDepth > 0) return;
    destroying = true;

    Widget* form = OwningForm(this);
    if (form && form->currentControl == this) form->currentControl = nullptr;
    if (mainWidget && mainWidget->currentControl == this) mainWidget->currentControl = nullptr;
    if (handle) ShowWindow(handle, SW_HIDE);

    // OnDestroy, then owned objects in registration order: the controls in
    // creation order, the font and brush copies, and whatever else.
    FireDestroy(this);
    // A child whose own teardown is waiting for its message to return is
    // still listed; it must not reach back into this record later.
    for (int32_t i = 0; children && i < children->count; ++i) {
        Widget* child = static_cast<Widget*>(ItemAt(children, i));
        if (child && child->parent == this) child->parent = nullptr;
    }
    font = nullptr;   // released through autoFree
    brush = nullptr;

    ReleaseAndClear(surface);
    if (handle) {
        if (icon && icon != NoIcon) DestroyIcon(icon);
        icon = nullptr;
        if (IsWindow(handle)) {
            // Detach first: the window's last messages must not find us.
            SetWindowLongPtrW(handle, GWLP_USERDATA, 0);
            // A window already inside its WM_DESTROY (the system is
            // destroying it, and the router released us from there) is
            // left to finish on its own.
            if (!windowDestroyed) DestroyWindow(handle);
        }
        handle = nullptr;
    }
    if (bkBrush) {
        DeleteObject(bkBrush);
        bkBrush = nullptr;
    }
    if (parent) {
        if (parent->currentControl == this) parent->currentControl = nullptr;
        if (parent->children) Remove(parent->children, this);
        RemoveAutoFree(parent, this);
    }
    ReleaseAndClear(messageHandlers);
    ReleaseAndClear(children);
    text = ByteString();
    DisposeBase(this);
}
