#include "ui/properties.h"

#include "platform/conversions.h"

#include "ui/draw_surface.h"
#include "ui/gdi_tool.h"
#include "ui/message_routing.h"

RECT GetBounds(Widget* widget) {
    RECT r = widget->bounds;
    if (widget->handle) {
        GetWindowRect(widget->handle, &r);
        if (widget->isControl) {
            if (!widget->parent) return r;  // screen rectangle, not stored
            POINT origin = {0, 0};
            if (widget->parent->handle) ClientToScreen(widget->parent->handle, &origin);
            r.left -= origin.x;
            r.right -= origin.x;
            r.top -= origin.y;
            r.bottom -= origin.y;
        }
    }
    widget->bounds = r;
    return r;
}

void SetBounds(Widget* widget, const RECT& r) {
    RECT current = GetBounds(widget);
    if (current.left == r.left && current.top == r.top && current.right == r.right &&
        current.bottom == r.bottom)
        return;
    if (r.left != current.left) widget->positionSet |= PositionLeftSet;
    if (r.top != current.top) widget->positionSet |= PositionTopSet;
    widget->bounds = r;
    if (widget->handle)
        SetWindowPos(widget->handle, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
}

int32_t GetWidth(Widget* widget) {
    RECT r = GetBounds(widget);
    return r.right - r.left;
}

int32_t GetHeight(Widget* widget) {
    RECT r = GetBounds(widget);
    return r.bottom - r.top;
}

void SetLeft(Widget* widget, int32_t x) {
    RECT r = GetBounds(widget);
    r.right = x + (r.right - r.left);
    r.left = x;
    SetBounds(widget, r);
}

void SetTop(Widget* widget, int32_t y) {
    RECT r = GetBounds(widget);
    r.bottom = y + (r.bottom - r.top);
    r.top = y;
    SetBounds(widget, r);
}

void SetWidth(Widget* widget, int32_t w) {
    RECT r = GetBounds(widget);
    r.right = r.left + w;
    SetBounds(widget, r);
}

void SetHeight(Widget* widget, int32_t h) {
    RECT r = GetBounds(widget);
    r.bottom = r.top + h;
    SetBounds(widget, r);
}

Widget* SetPosition(Widget* widget, int32_t x, int32_t y) {
    SetLeft(widget, x);
    SetTop(widget, y);
    return widget;
}

Widget* SetSize(Widget* widget, int32_t width, int32_t height) {
    RECT r = GetBounds(widget);
    if (width != 0) r.right = r.left + width;
    if (height != 0) r.bottom = r.top + height;
    SetBounds(widget, r);
    return widget;
}

RECT GetClientArea(Widget* widget) {
    RECT r = widget->bounds;
    HWND window = EnsureHandle(widget);
    if (window) GetClientRect(window, &r);
    r.top += widget->margins.top;
    r.bottom -= widget->margins.bottom;
    r.left += widget->margins.left;
    r.right -= widget->margins.right;
    return r;
}

int32_t ClientWidth(Widget* widget) {
    RECT r = GetClientArea(widget);
    return r.right - r.left;
}

int32_t ClientHeight(Widget* widget) {
    RECT r = GetClientArea(widget);
    return r.bottom - r.top;
}

// The client size is measured first: it creates the window, so the outer
// size read next is the real window's and not the never-set stored one.
void SetClientWidth(Widget* widget, int32_t w) {
    int32_t client = ClientWidth(widget);
    SetWidth(widget, w + GetWidth(widget) - client);
}

void SetClientHeight(Widget* widget, int32_t h) {
    int32_t client = ClientHeight(widget);
    SetHeight(widget, h + GetHeight(widget) - client);
}

Widget* SetClientSize(Widget* widget, int32_t width, int32_t height) {
    if (width > 0) SetClientWidth(widget, width);
    if (height > 0) SetClientHeight(widget, height);
    return widget;
}

Widget* CenterOnParent(Widget* widget) {
    RECT area;
    if (!widget->isControl || !widget->parent) {
        area.left = 0;
        area.top = 0;
        area.right = GetSystemMetrics(SM_CXSCREEN);
        area.bottom = GetSystemMetrics(SM_CYSCREEN);
    } else {
        area = GetClientArea(widget->parent);
    }
    EnsureHandle(widget);
    // Arithmetic shifts: an odd remainder goes toward minus infinity.
    SetLeft(widget, (area.right - (GetWidth(widget) + area.left)) >> 1);
    SetTop(widget, (area.bottom - (GetHeight(widget) + area.top)) >> 1);
    return widget;
}

void SetStyle(Widget* widget, uint32_t style) {
    if (widget->style == style) return;
    widget->style = style;
    if (widget->handle) {
        SetWindowLongPtrW(widget->handle, GWL_STYLE, static_cast<LONG_PTR>(static_cast<LONG>(style)));
        // Style bits that change the frame take effect only with a
        // SWP_FRAMECHANGED move.
        SetWindowPos(widget->handle, nullptr, 0, 0, 0, 0,
                     SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
        Invalidate(widget);
    }
}

bool CanResize(Widget* form) { return !form->notResizable; }

void SetCanResize(Widget* form, bool canResize) {
    if (CanResize(form) == canResize) return;
    form->notResizable = !canResize;
    SetStyle(form, canResize ? (form->style | WS_THICKFRAME)
                             : (form->style & ~static_cast<uint32_t>(WS_THICKFRAME)));
    EnsureHandle(form);
    form->fixedWidth = GetWidth(form);
    form->fixedHeight = GetHeight(form);
    AddMessageHandler(form, SizeLockHandler, false);
}

bool SizeLockHandler(Widget* form, MessageRecord* record, LRESULT* result) {
    if (CanResize(form)) return false;
    if (record->message == WM_GETMINMAXINFO) {
        *result = DefaultProcessing(form, record);
        MINMAXINFO* info = reinterpret_cast<MINMAXINFO*>(record->lParam);
        if (info) {
            info->ptMinTrackSize.x = form->fixedWidth;
            info->ptMinTrackSize.y = form->fixedHeight;
            info->ptMaxTrackSize.x = form->fixedWidth;
            info->ptMaxTrackSize.y = form->fixedHeight;
        }
        return true;
    }
    if (record->message == WM_NCHITTEST) {
        *result = DefaultProcessing(form, record);
        if (*result >= HTLEFT && *result <= HTBOTTOMRIGHT) {
            *result = HTBORDER;  // no resize cursor, no sizing drag
            return true;
        }
    }
    return false;
}

ByteString GetText(Widget* widget) {
    if (widget->handle) {
        // Read as UTF-16 (the window's own text, whatever the code page)
        // and kept as UTF-8, as every text of the layer is.
        int n = GetWindowTextLengthW(widget->handle);
        WideString wide;
        if (n > 0 && wide.SetLength(static_cast<uint32_t>(n))) {
            int got = GetWindowTextW(widget->handle, reinterpret_cast<WCHAR*>(wide.Data()), n + 1);
            wide.SetLength(got > 0 ? static_cast<uint32_t>(got) : 0);
        }
        widget->text = WideToUtf8Text(wide);
    }
    return widget->text;
}

void SetText(Widget* widget, const ByteString& text) {
    widget->text = text;
    if (widget->handle)
        SendMessageW(widget->handle, WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>(Utf8ToWideText(widget->text).CStr()));
    widget->autoSizeProc(widget);
}

void SetColor(Widget* widget, uint32_t color) {
    HWND window = EnsureHandle(widget);
    if (window && widget->actions.setColorMsg)
        SendMessageW(window, widget->actions.setColorMsg, 0, static_cast<LPARAM>(ColorToRgb(color)));
    if (color == widget->color) return;
    widget->color = color;
    if (widget->bkBrush) {
        DeleteObject(widget->bkBrush);
        widget->bkBrush = nullptr;
    }
    Invalidate(widget);
}

GdiTool* GetFont(Widget* widget) {
    if (widget->font) return widget->font;
    GdiTool* font = NewFont();
    if (!font) return nullptr;
    AddAutoFree(widget, font);
    font->data.toolColor = widget->textColor;
    font->onChange.code = WidgetFontChanged;
    font->onChange.context = widget;
    widget->font = font;
    return font;
}

void WidgetFontChanged(void* context, RefObject* sender) {
    Widget* widget = static_cast<Widget*>(context);
    GdiTool* font = static_cast<GdiTool*>(sender);
    widget->textColor = font->data.toolColor;
    ApplyFont(widget);
    // Child windows that were given this font's object through an unchanged
    // copy still hold it, and ToolChanged deletes it once this returns:
    // re-apply theirs now, which makes them an object of their own (or
    // shares the new one when only a system colour changed).
    if (widget->children) {
        for (int32_t i = 0; i < widget->children->count; ++i) {
            Widget* child = static_cast<Widget*>(ItemAt(widget->children, i));
            if (child && child->handle && child->font && child->font->parentTool == font &&
                !child->font->gdiHandle)
                ApplyFont(child);
        }
    }
    Invalidate(widget);
}

void InheritFont(Widget* child, GdiTool* parentFont) {
    GdiTool* font = CopyTool(nullptr, parentFont);
    if (!font) return;
    // Borrowed: a parent's font outlives its children's copies because the
    // parent releases its owned objects only when it goes itself.
    font->parentTool = parentFont;
    font->onChange.code = WidgetFontChanged;
    font->onChange.context = child;
    child->font = font;
    AddAutoFree(child, font);
    WidgetFontChanged(child, font);
}

void ApplyFont(Widget* widget) {
    if (!widget->font) return;
    if (widget->handle) {
        widget->textColor = widget->font->data.toolColor;
        // A non-zero lParam makes the control redraw with the new font.
        SendMessageW(widget->handle, WM_SETFONT, reinterpret_cast<WPARAM>(ToolHandle(widget->font)),
                     0xFFFF);
    }
    // The surface holds a copy of the old font; the next GetSurface makes one.
    ReleaseAndClear(widget->surface);
    widget->autoSizeProc(widget);
}

Widget* SetAutoSize(Widget* widget, bool on) {
    if (on) {
        widget->autoSizeProc = AutoSizeToText;
        AutoSizeToText(widget);
    } else {
        widget->autoSizeProc = NoAction;
    }
    return widget;
}

void AutoSizeToText(Widget* widget) {
    ByteString text = widget->text;
    int32_t width = 0;
    int32_t height = 0;
    if (!text.Empty()) {
        // The slanted last glyph of an italic font overhangs its advance.
        if (widget->font && widget->font->data.logFont.lfItalic) text.Append(" ");
        EnsureHandle(widget);
        DrawSurface* surface = GetSurface(widget);
        if (surface) {
            SIZE size = MeasureText(surface, text);
            width = size.cx;
            height = size.cy;
        }
    }
    // One move for both dimensions; SetBounds does nothing when they hold.
    RECT r = GetBounds(widget);
    r.right = r.left + width + widget->actions.autoSizeExtraX;
    r.bottom = r.top + height + widget->actions.autoSizeExtraY;
    SetBounds(widget, r);
}

void Invalidate(Widget* widget) {
    if (widget->handle) InvalidateRect(widget->handle, nullptr, TRUE);
}
