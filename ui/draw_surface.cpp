#include "ui/draw_surface.h"

#include "platform/conversions.h"

#include "ui/gdi_tool.h"
#include "ui/widget.h"

namespace {

// A tool of the surface changed: deselect it so the next EnsureSelected
// selects the new object (a selected object cannot be deleted cleanly).
void SurfaceToolChanged(void* context, RefObject*) {
    RestoreStockObjects(static_cast<DrawSurface*>(context));
}

}  // namespace

void DrawSurface::Teardown() {
    AttachDC(this, nullptr);
    ReleaseAndClear(fontTool);
    DisposeBase(this);
}

HDC WindowDcProvider(void* context, DrawSurface* surface) {
    if (surface->dc) return surface->dc;
    return GetDC(EnsureHandle(static_cast<Widget*>(context)));
}

DrawSurface* GetSurface(Widget* widget) {
    if (widget->surface) return widget->surface;
    DrawSurface* surface = CreateObject<DrawSurface>();
    if (!surface) return nullptr;
    surface->owner = widget;
    surface->dcProvider.code = WindowDcProvider;
    surface->dcProvider.context = widget;
    // An independent copy with a GDI object of its own (no parentTool).
    if (widget->font) surface->fontTool = CopyTool(nullptr, widget->font);
    widget->surface = surface;
    return surface;
}

HDC ObtainDC(DrawSurface* surface) {
    if (surface->dcProvider.code) {
        HDC dc = surface->dcProvider.code(surface->dcProvider.context, surface);
        if (dc != surface->dc) {
            AttachDC(surface, dc);
            surface->dcFromProvider = dc != nullptr;
        }
    }
    return surface->dc;
}

void AttachDC(DrawSurface* surface, HDC dc) {
    if (dc == surface->dc) return;
    if (surface->dc) {
        RestoreStockObjects(surface);
        if (surface->dcFromProvider)
            ReleaseDC(surface->owner ? surface->owner->handle : nullptr, surface->dc);
        else
            DeleteDC(surface->dc);
        surface->dc = nullptr;
        surface->dcFromProvider = false;
        surface->state &= static_cast<uint8_t>(~SurfaceHasDC);
    }
    if (dc) {
        surface->state |= SurfaceHasDC;
        surface->dc = dc;
        surface->dcFromProvider = false;
        MoveToEx(dc, surface->penPos.x, surface->penPos.y, nullptr);
    }
}

HDC EnsureSelected(DrawSurface* surface, uint8_t bits) {
    if (bits & SurfaceHasDC) ObtainDC(surface);
    if (!surface->dc) return nullptr;
    uint8_t todo = static_cast<uint8_t>(bits & ~surface->state);
    if (todo & SurfaceFont) {
        if (surface->fontTool) {
            surface->fontTool->onChange.code = SurfaceToolChanged;
            surface->fontTool->onChange.context = surface;
            SelectObject(surface->dc, ToolHandle(surface->fontTool));
            SetTextColor(surface->dc, ColorToRgb(surface->fontTool->data.toolColor));
        } else {
            SetTextColor(surface->dc,
                         ColorToRgb(surface->owner ? surface->owner->textColor : 0));
        }
    }
    surface->state |= todo;
    return surface->dc;
}

// The surface selects a font only (EnsureSelected has no pen or brush to
// select): putting the stock font back frees ours for deletion. Stock
// objects are never deleted.
void RestoreStockObjects(DrawSurface* surface) {
    if (!surface->dc || !(surface->state & (SurfacePen | SurfaceBrush | SurfaceFont))) return;
    SelectObject(surface->dc, GetStockObject(SYSTEM_FONT));
    surface->state &= static_cast<uint8_t>(~(SurfacePen | SurfaceBrush | SurfaceFont));
}

SIZE MeasureText(DrawSurface* surface, const ByteString& text) {
    SIZE size = {0, 0};
    // Held for the whole measurement: when the owner has no window yet, the
    // window-DC provider creates it, and applying the font to the new window
    // releases the owner's surface, which may be this one.
    AddRef(surface);
    if (!EnsureSelected(surface, SurfaceHasDC | SurfaceFont)) {
        // No window DC to be had: measure on a memory DC of our own.
        AttachDC(surface, CreateCompatibleDC(nullptr));
    }
    HDC dc = EnsureSelected(surface, SurfaceHasDC | SurfaceFont);
    // Measured as drawn: the UTF-8 text as the UTF-16 the window shows.
    const WideString wide = Utf8ToWideText(text);
    if (dc)
        GetTextExtentPoint32W(dc, reinterpret_cast<const WCHAR*>(wide.CStr()), static_cast<int>(wide.Length()),
                              &size);
    AttachDC(surface, nullptr);
    Release(surface);
    return size;
}
