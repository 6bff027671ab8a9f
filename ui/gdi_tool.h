// Colour values and font tools. A GdiTool is a 64-byte font description that
// owns the HFONT made from it; a copy made for a child shares its parent's
// HFONT for as long as the two descriptions are byte-for-byte equal.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "base/byte_string.h"
#include "ui/background.h"
#include "base/ref_object.h"

class Widget;

// Colour value: bit 31 set = system colour index (GetSysColor of the low
// bits), otherwise a COLORREF used unchanged.
const uint32_t SystemColorFlag = 0x80000000u;
const uint32_t ColorBtnFace = 0x8000000Fu;
const uint32_t ColorWindow = 0x80000005u;
const uint32_t ColorWindowText = 0x80000008u;
const uint32_t ColorHighlight = 0x8000000Du;

uint32_t ColorToRgb(uint32_t color);

enum : uint8_t { FontToolKind = 1 };

// The compared and copied part of a tool.
struct ToolData {
    uint32_t toolColor;
    LOGFONTA logFont;
};
static_assert(sizeof(ToolData) == 64, "tool data is compared and copied as 64 bytes");

class GdiTool : public RefObject {
public:
    // Deletes its own handle (never its parent's).
    void Teardown() override;
    // A new, zero-data tool of the same kind.
    virtual GdiTool* NewOfSameKind();
    // The GDI object made from the data; CreateFontIndirectA for a font.
    virtual HGDIOBJ MakeHandle();

    uint8_t kind;             // FontToolKind
    HGDIOBJ gdiHandle;        // owned; null until needed and after each change
    GdiTool* parentTool;      // borrowed: the tool this one was copied from
    uint32_t madeRgb;         // ColorToRgb(toolColor) when gdiHandle was made
    EventHandler onChange;    // fired with the tool after each change
    ToolData data;
};

// The default font data: COLOR_WINDOWTEXT, DEFAULT_CHARSET, "MS Sans Serif".
extern const ToolData DefaultFontData;

GdiTool* NewFont();
HGDIOBJ ToolHandle(GdiTool* tool);
void ToolChanged(GdiTool* tool);
void SetToolColor(GdiTool* tool, uint32_t color);
void SetFontHeight(GdiTool* tool, int32_t height);
void SetFontCharset(GdiTool* tool, uint8_t charset);
void SetFaceName(GdiTool* tool, const ByteString& face);
// Null source: releases the destination and returns null. Null destination:
// a new tool of the source's kind. Does not set parentTool.
GdiTool* CopyTool(GdiTool* destination, GdiTool* source);

// The Widget's font, made (not applied) on first use and owned by the Widget.
GdiTool* GetFont(Widget* widget);
// The font tool's onChange for a Widget (context: the Widget).
void WidgetFontChanged(void* context, RefObject* sender);
// Gives the Widget a copy of its parent's font that shares the parent's
// HFONT while unchanged (used when a child is made).
void InheritFont(Widget* child, GdiTool* parentFont);
void ApplyFont(Widget* widget);
