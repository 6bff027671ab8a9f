// The one record behind the form and every control, its window class and
// the lazy creation of its window.
//
// A Widget is a RefObject; its vtable is the operations table extended by
// Construct, RealizeWindow and RouteMessage. Widgets are made zero-filled by
// MakeWidget (never new/delete) and destroyed by the Release that takes the
// count below 0, or by the router once the system destroyed their window.
//
// Inside ui/ the files build on one another one way: gdi_tool (colours, font
// objects) knows no Widget; on this header build draw_surface,
// message_routing, properties, background and controls, each using only
// those before it. widget.cpp, which holds the Widget's own operations
// (making the window, routing its messages, teardown), is the one file that
// uses them in turn.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "base/byte_string.h"
#include "base/ptr_list.h"
#include "base/ref_object.h"
#include "ui/control_actions.h"

class Widget;
class GdiTool;
class DrawSurface;
struct MessageRecord;

// Message handler: returns true when it handled the message; *result then
// becomes the window procedure's return value. The caller sets *result to 0.
typedef bool (*MessageHandler)(Widget* widget, MessageRecord* record, LRESULT* result);
// Click and auto-size routines.
typedef void (*WidgetRoutine)(Widget* widget);

// Bits of Widget::positionSet.
enum : uint8_t { PositionLeftSet = 1, PositionTopSet = 2 };

// Insets of the client area, in this order.
struct Margins {
    int32_t top;
    int32_t bottom;
    int32_t left;
    int32_t right;
};

class Widget : public RefObject {
public:
    // Fills in the defaults on the zero-filled record.
    void Setup() override;
    // Releases owned objects (children in creation order), then the window.
    void Teardown() override;
    // Setup, the parent's colour, then Reparent.
    virtual void Construct(Widget* parent);
    // Makes sure the window exists and is shown; false when it cannot be made.
    virtual bool RealizeWindow();
    // Handlers first, then the layer's built-in rules, then default processing.
    virtual LRESULT RouteMessage(MessageRecord* record);

    HWND handle;              // null until the window exists and after teardown
    uint32_t classStyle;      // class style used when the class is registered
    uint32_t style;           // window style for CreateWindowExW
    uint32_t exStyle;         // extended style for CreateWindowExW
    HICON icon;               // 0 not loaded, NoIcon none, otherwise owned
    WNDPROC baseWndProc;      // the system class's procedure; null for "Form"
    Widget* parent;           // borrowed; null for a top-level form
    bool tabStop;
    bool notResizable;
    PtrList* messageHandlers; // pairs (MessageHandler, keep flag)
    PtrList* children;        // borrowed pointers, creation order (owned via autoFree)
    HBRUSH bkBrush;           // owned
    uint32_t bkBrushRgb;
    bool destroying;
    bool windowDestroyed;     // WM_DESTROY has arrived
    int32_t msgDepth;
    uint32_t controlId;
    bool isControl;
    uint8_t positionSet;      // PositionLeftSet | PositionTopSet
    EventHandler OnLeave;
    MessageHandler messageProc;  // DeclineMessage until a handler is added
    WidgetRoutine clickProc;
    WidgetRoutine autoSizeProc;
    const char* className;    // "Form", "BUTTON", "EDIT", ...; not owned
    bool childEdge;
    bool clientEdge;
    uint32_t textColor;       // colour value (see gdi_tool.h)
    uint32_t color;           // background colour value
    GdiTool* font;            // owned (registered in autoFree)
    GdiTool* brush;           // never set: no Widget here has a brush tool
    DrawSurface* surface;     // owned; released at teardown
    int32_t border;
    RECT bounds;              // left, top, right, bottom
    Margins margins;
    EventHandler OnClick;
    Widget* currentControl;   // borrowed
    bool pendingShow;
    int8_t focusing;
    EventHandler OnChange;
    EventHandler OnEnter;
    ControlActions actions;
    EventHandler OnSelChange;
    int32_t fixedWidth;
    int32_t fixedHeight;
    ByteString text;          // UTF-8; converted to UTF-16 at the Win32 calls
};

// Widget::icon value meaning "this Widget has no icon".
inline const HICON NoIcon = reinterpret_cast<HICON>(~static_cast<uintptr_t>(0));

// Globals of the layer, all on the GUI thread.
extern Widget* mainWidget;          // the application's main form
extern Widget* creatingWidget;      // Widget whose window is being created
extern HINSTANCE moduleInstance;    // hInstance for every class and window
extern uint16_t nextControlId;      // next control's id; starts at 0x8000

// Does nothing and reports the message as not handled.
bool DeclineMessage(Widget* widget, MessageRecord* record, LRESULT* result);
// The click and auto-size routine that does nothing.
void NoAction(Widget* widget);

Widget* MakeWidget(Widget* parent);

HWND EnsureHandle(Widget* widget);
void RealizeChildren(Widget* widget);
HWND ParentHandle(Widget* widget, bool create);
// "obj_" + className into buffer (64 bytes, truncated to 63 characters).
void RegisteredClassName(const Widget* widget, char buffer[64]);
HICON WindowIcon(Widget* widget);
void Reparent(Widget* widget, Widget* newParent);
void ApplyVisibility(Widget* widget, bool show);
void InitCommonControlClasses(uint32_t classFlags);
// SendMessageW to the Widget's window, creating it first when needed.
LRESULT Perform(Widget* widget, UINT message, WPARAM wParam, LPARAM lParam);
