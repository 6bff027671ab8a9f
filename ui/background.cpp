#include "ui/background.h"

#include "ui/gdi_tool.h"
#include "ui/message_routing.h"
#include "ui/widget.h"

HBRUSH GetBackgroundBrush(Widget* widget) {
    // The topmost Widget of the chain of equal colours owns the brush, so a
    // control painted like its form uses the form's brush.
    Widget* owner = widget;
    while (owner->parent && owner->parent->color == owner->color) owner = owner->parent;
    uint32_t rgb = ColorToRgb(owner->color);
    if (owner->bkBrush && rgb != owner->bkBrushRgb) {
        DeleteObject(owner->bkBrush);
        owner->bkBrush = nullptr;
    }
    if (!owner->bkBrush) {
        owner->bkBrushRgb = rgb;
        owner->bkBrush = CreateSolidBrush(rgb);
    }
    return owner->bkBrush;
}

bool ReflectedColorHandler(Widget* widget, MessageRecord* record, LRESULT* result) {
    if (record->message < WM_CTLCOLORMSGBOX + ReflectedColorBase ||
        record->message > WM_CTLCOLORSTATIC + ReflectedColorBase)
        return false;
    HDC dc = reinterpret_cast<HDC>(record->wParam);
    SetTextColor(dc, ColorToRgb(widget->textColor));
    SetBkMode(dc, OPAQUE);
    SetBkColor(dc, ColorToRgb(widget->color));
    *result = reinterpret_cast<LRESULT>(GetBackgroundBrush(widget));
    return true;
}

bool FormBackgroundHandler(Widget* form, MessageRecord* record, LRESULT* result) {
    if (record->message != WM_ERASEBKGND) return false;
    *result = 1;
    RealizeChildren(form);
    HDC dc = reinterpret_cast<HDC>(record->wParam);
    SetBkMode(dc, OPAQUE);
    SetBkColor(dc, ColorToRgb(form->color));
    SetBrushOrgEx(dc, 0, 0, nullptr);
    RECT client;
    if (form->handle && GetClientRect(form->handle, &client))
        FillRect(dc, &client, GetBackgroundBrush(form));
    // Not handled: default processing follows and, with no class brush,
    // paints nothing over this.
    return false;
}
