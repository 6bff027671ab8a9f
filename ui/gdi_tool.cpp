#include "ui/gdi_tool.h"

#include <string.h>

const ToolData DefaultFontData = {
    ColorWindowText,
    {0, 0, 0, 0, 0, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "MS Sans Serif"},
};

uint32_t ColorToRgb(uint32_t color) {
    if (color & SystemColorFlag) return GetSysColor(static_cast<int>(color & ~SystemColorFlag));
    return color;
}

void GdiTool::Teardown() {
    if (gdiHandle) DeleteObject(gdiHandle);
    gdiHandle = nullptr;
    DisposeBase(this);
}

GdiTool* GdiTool::NewOfSameKind() {
    GdiTool* tool = CreateObject<GdiTool>();
    if (tool) tool->kind = kind;
    return tool;
}

HGDIOBJ GdiTool::MakeHandle() {
    if (kind == FontToolKind) return CreateFontIndirectA(&data.logFont);
    return nullptr;
}

GdiTool* NewFont() {
    GdiTool* tool = CreateObject<GdiTool>();
    if (!tool) return nullptr;
    tool->kind = FontToolKind;
    tool->data = DefaultFontData;
    return tool;
}

static bool SameData(const GdiTool* a, const GdiTool* b) {
    return memcmp(&a->data, &b->data, sizeof(ToolData)) == 0;
}

HGDIOBJ ToolHandle(GdiTool* tool) {
    if (!tool) return nullptr;
    // A system colour the user changed since the handle was made.
    if (tool->gdiHandle && ColorToRgb(tool->data.toolColor) != tool->madeRgb) ToolChanged(tool);
    if (tool->gdiHandle) return tool->gdiHandle;
    // An unchanged copy uses its parent's object; only the parent deletes it.
    if (tool->parentTool && SameData(tool, tool->parentTool)) return ToolHandle(tool->parentTool);
    tool->madeRgb = ColorToRgb(tool->data.toolColor);
    tool->gdiHandle = tool->MakeHandle();
    return tool->gdiHandle;
}

void ToolChanged(GdiTool* tool) {
    HGDIOBJ old = tool->gdiHandle;
    tool->gdiHandle = nullptr;
    // The owner hears of the change while the old object still exists, so
    // it can put a new one into its window before the old one is deleted.
    FireEvent(tool->onChange, tool);
    if (old) {
        DeleteObject(old);
        FireEvent(tool->onChange, tool);
    }
}

void SetToolColor(GdiTool* tool, uint32_t color) {
    if (tool->data.toolColor == color) return;
    tool->data.toolColor = color;
    ToolChanged(tool);
}

void SetFontHeight(GdiTool* tool, int32_t height) {
    if (tool->data.logFont.lfHeight == height) return;
    tool->data.logFont.lfHeight = height;
    ToolChanged(tool);
}

void SetFontCharset(GdiTool* tool, uint8_t charset) {
    if (tool->data.logFont.lfCharSet == charset) return;
    tool->data.logFont.lfCharSet = charset;
    ToolChanged(tool);
}

void SetFaceName(GdiTool* tool, const ByteString& face) {
    // Compare with what would be stored: at most 31 characters and a zero,
    // the rest of the 32 bytes cleared (tools compare all 64 data bytes).
    char stored[LF_FACESIZE];
    memset(stored, 0, sizeof(stored));
    uint32_t n = face.Length();
    if (n > LF_FACESIZE - 1) n = LF_FACESIZE - 1;
    if (n) memcpy(stored, face.Data(), n);
    if (memcmp(stored, tool->data.logFont.lfFaceName, LF_FACESIZE) == 0) return;
    memcpy(tool->data.logFont.lfFaceName, stored, LF_FACESIZE);
    ToolChanged(tool);
}

GdiTool* CopyTool(GdiTool* destination, GdiTool* source) {
    if (!source) {
        Release(destination);
        return nullptr;
    }
    if (!destination) {
        destination = source->NewOfSameKind();
        if (!destination) return nullptr;
    }
    if (destination == source) return destination;
    if (destination->gdiHandle && destination->gdiHandle == source->gdiHandle) return destination;
    ToolChanged(destination);
    destination->data = source->data;
    ToolChanged(destination);
    return destination;
}
