#include "ui/widget.h"

#include <commctrl.h>
#include <string.h>

#include "ui/background.h"
#include "ui/controls.h"
#include "ui/draw_surface.h"
#include "ui/gdi_tool.h"
#include "ui/message_routing.h"
#include "ui/properties.h"

Widget* mainWidget;
Widget* creatingWidget;
HMODULE commonControlsModule;
HINSTANCE moduleInstance = GetModuleHandleA(nullptr);
uint16_t nextControlId = 0x8000;

namespace {

const uint32_t DefaultWidgetStyle = 0x16CF0000;  // WS_VISIBLE | WS_CLIP* | WS_OVERLAPPEDWINDOW
// Class-style bits a take-over class must not inherit: a private DC per
// window (CS_OWNDC/CS_CLASSDC/CS_PARENTDC) and CS_GLOBALCLASS.
const uint32_t ClassStyleMask = 0xFFFFBF1F;

// Keeps a brush tool copied from the parent current on the window.
void WidgetBrushChanged(void* context, RefObject*) { Invalidate(static_cast<Widget*>(context)); }

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
    textColor = 8;
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

Widget* MakeClassWidget(Widget* parent, const char* className, bool edgeFlag) {
    Widget* widget = MakeWidget(parent);
    if (!widget) return nullptr;
    widget->className = className;
    if (parent) {
        widget->childEdge = parent->childEdge;
        widget->clientEdge = parent->childEdge ? edgeFlag : false;
        widget->textColor = parent->textColor;
        widget->color = parent->color;
        if (parent->font) InheritFont(widget, parent->font);
        if (parent->brush) {
            GdiTool* brush = CopyTool(nullptr, parent->brush);
            if (brush) {
                brush->parentTool = parent->brush;
                brush->onChange.code = WidgetBrushChanged;
                brush->onChange.context = widget;
                widget->brush = brush;
                AddAutoFree(widget, brush);
            }
        }
        widget->border = parent->border;
    }
    return widget;
}

Widget* MakeChild(Widget* parent, const char* className, uint32_t style, bool edgeFlag,
                  const ControlActions* actions) {
    Widget* widget = MakeClassWidget(parent, className, edgeFlag);
    if (!widget) return nullptr;
    widget->isControl = true;
    if (actions) widget->actions = *actions;
    widget->style = style | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
    if (widget->clientEdge) {
        widget->style &= ~static_cast<uint32_t>(WS_BORDER);
        widget->exStyle |= WS_EX_CLIENTEDGE;
    }
    if (parent) {
        widget->bounds.left = parent->border + parent->margins.left;
        widget->bounds.top = parent->border + parent->margins.top;
        widget->bounds.right = widget->bounds.left + 64;
        widget->bounds.bottom = widget->bounds.top + 64;
    }
    if (widget->style & WS_TABSTOP) {
        widget->tabStop = true;
        Widget* form = OwningForm(widget);
        if (form && !form->currentControl) form->currentControl = widget;
    }
    widget->controlId = nextControlId++;
    AddMessageHandler(widget, ControlNotify, false);
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

void InitCommonControlClasses(uint32_t classFlags) {
    InitCommonControls();
    if (!commonControlsModule) commonControlsModule = LoadLibraryA("comctl32.dll");
    if (!commonControlsModule) return;
    typedef BOOL(WINAPI * InitEx)(const INITCOMMONCONTROLSEX*);
    InitEx initEx = reinterpret_cast<InitEx>(
        reinterpret_cast<void*>(GetProcAddress(commonControlsModule, "InitCommonControlsEx")));
    if (!initEx) return;
    INITCOMMONCONTROLSEX icc;
    icc.dwSize = sizeof(icc);  // 8 on both pointer sizes
    icc.dwICC = classFlags;
    initEx(&icc);
}

bool Widget::RealizeWindow() {
    if (parent && !EnsureHandle(parent)) return false;
    if (handle) {
        RealizeChildren(this);
        if (pendingShow) {
            ApplyVisibility(this, true);
            pendingShow = false;
        }
        return true;
    }

    WNDCLASSA wc;
    memset(&wc, 0, sizeof(wc));
    wc.style = classStyle;
    wc.lpfnWndProc = baseWndProc;
    wc.hInstance = moduleInstance;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    // No class brush: a form paints its own background (FormBackgroundHandler).

    char registeredName[64];
    RegisteredClassName(this, registeredName);

    if (className) {
        // Superclassing: a system class ("BUTTON", "EDIT", ...) lends its
        // procedure, cbWndExtra and cursor; GetClassInfoA finds global
        // classes whatever hInstance is passed. "Form" is found nowhere.
        WNDCLASSA system;
        if (GetClassInfoA(moduleInstance, className, &system)) wc = system;
        wc.hInstance = moduleInstance;
        wc.style &= ClassStyleMask;
    }
    if (!baseWndProc) baseWndProc = wc.lpfnWndProc;

    HWND parentWindow = ParentHandle(this, true);
    int x = bounds.left;
    int y = bounds.top;
    if (!isControl && !(positionSet & (PositionLeftSet | PositionTopSet))) {
        x = CW_USEDEFAULT;
        y = CW_USEDEFAULT;
    }
    int width = bounds.right - bounds.left;
    int height = bounds.bottom - bounds.top;
    if (width == 0) width = CW_USEDEFAULT;
    if (height == 0) height = CW_USEDEFAULT;
    const char* windowName = text.Empty() ? nullptr : text.CStr();

    if (!parentWindow && (style & WS_CHILD)) return false;

    WNDCLASSA existing;
    if (!GetClassInfoA(moduleInstance, registeredName, &existing)) {
        wc.lpszClassName = registeredName;
        wc.lpfnWndProc = SharedWindowProc;
        if (!RegisterClassA(&wc)) return false;
    }

    creatingWidget = this;
    windowDestroyed = false;
    // The new window's messages arrive inside CreateWindowExA. Counting
    // them as a message of this Widget keeps the router from releasing it
    // under us should the window be destroyed again during creation.
    ++msgDepth;
    HWND created = CreateWindowExA(exStyle, registeredName, windowName, style, x, y, width, height,
                                   parentWindow,
                                   reinterpret_cast<HMENU>(static_cast<uintptr_t>(controlId)),
                                   moduleInstance, nullptr);
    --msgDepth;
    handle = created;
    if (!created) {
        // No message may take a later window for this failed one.
        if (creatingWidget == this) creatingWidget = nullptr;
        windowDestroyed = false;
        return false;
    }

    // Clear UISF_HIDEFOCUS so focus rectangles show before any keyboard use.
    SendMessageA(handle, WM_UPDATEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
    if (GetWindowLongPtrA(handle, GWLP_USERDATA) == 0) {
        creatingWidget = nullptr;
        SetWindowLongPtrA(handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    if (!isControl) Perform(this, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(WindowIcon(this)));
    ApplyFont(this);
    RealizeChildren(this);
    return true;
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
            SetWindowLongPtrA(handle, GWLP_USERDATA, 0);
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
