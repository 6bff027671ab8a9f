// Colour values and font tools. A GdiTool is a 64-byte font description that
// owns the HFONT made from it; a copy made for a child shares its parent's
// HFONT for as long as the two descriptions are byte-for-byte equal. Nothing
// here knows the Widget: a Widget's font is in properties.h.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "base/byte_string.h"
#include "base/ref_object.h"

// Colour value: bit 31 set = system colour index (GetSysColor of the low
// bits), otherwise a COLORREF used unchanged.
const uint32_t SystemColorFlag = 0x80000000u;
const uint32_t ColorBtnFace = SystemColorFlag | COLOR_BTNFACE;
const uint32_t ColorWindow = SystemColorFlag | COLOR_WINDOW;
const uint32_t ColorWindowText = SystemColorFlag | COLOR_WINDOWTEXT;
const uint32_t ColorHighlight = SystemColorFlag | COLOR_HIGHLIGHT;
static_assert(ColorBtnFace == 0x8000000Fu && ColorWindow == 0x80000005u &&
                  ColorWindowText == 0x80000008u && ColorHighlight == 0x8000000Du,
              "system colour values are the flag and the COLOR_ index");
// A Widget's text colour until a font gives it one: the number of
// COLOR_WINDOWTEXT without SystemColorFlag, so a plain COLORREF, RGB(8, 0, 0)
// (almost black), and not the system's window-text colour.
const uint32_t DefaultTextColor = COLOR_WINDOWTEXT;
static_assert(DefaultTextColor == RGB(8, 0, 0), "the default text colour is the COLORREF 8");

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
