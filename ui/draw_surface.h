// Device-context wrapper of a Widget, used for text measurement. A window DC
// is held only for the length of one measurement.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "base/byte_string.h"
#include "base/ref_object.h"

class Widget;
class GdiTool;
class DrawSurface;

// Bits of DrawSurface::state.
enum : uint8_t { SurfaceHasDC = 1, SurfacePen = 2, SurfaceBrush = 4, SurfaceFont = 8 };

typedef HDC (*DcProviderCode)(void* context, DrawSurface* surface);
struct DcProvider {
    DcProviderCode code;
    void* context;
};

class DrawSurface : public RefObject {
public:
    // AttachDC(null), then releases fontTool.
    void Teardown() override;

    Widget* owner;            // borrowed
    HDC dc;                   // null when none is held
    POINT penPos;             // re-applied with MoveToEx on every attach
    uint8_t state;            // SurfaceHasDC | SurfaceFont (pen, brush unused)
    GdiTool* fontTool;        // owned copy of the owner's font, or null
    DcProvider dcProvider;
    bool dcFromProvider;      // give dc back with ReleaseDC, else DeleteDC
};

// The window-DC provider (context: the Widget).
HDC WindowDcProvider(void* context, DrawSurface* surface);
DrawSurface* GetSurface(Widget* widget);
HDC ObtainDC(DrawSurface* surface);
void AttachDC(DrawSurface* surface, HDC dc);
HDC EnsureSelected(DrawSurface* surface, uint8_t bits);
void RestoreStockObjects(DrawSurface* surface);
// One-line extent in the surface's font; the surface holds no DC afterwards.
SIZE MeasureText(DrawSurface* surface, const ByteString& text);
