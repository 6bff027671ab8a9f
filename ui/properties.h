// Geometry, text and appearance properties of a Widget (its colour and its
// font). Each is stored in the Widget and applied to the window at once when
// the window exists; once it exists, position and size are read back from the
// real window.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "base/byte_string.h"
#include "ui/widget.h"

// Outer rectangle: parent client coordinates for a control, screen
// coordinates for a form.
RECT GetBounds(Widget* widget);
void SetBounds(Widget* widget, const RECT& r);
int32_t GetWidth(Widget* widget);
int32_t GetHeight(Widget* widget);
void SetLeft(Widget* widget, int32_t x);
void SetTop(Widget* widget, int32_t y);
void SetWidth(Widget* widget, int32_t w);
void SetHeight(Widget* widget, int32_t h);
Widget* SetPosition(Widget* widget, int32_t x, int32_t y);
// 0 leaves that dimension unchanged.
Widget* SetSize(Widget* widget, int32_t width, int32_t height);

// These create the window (EnsureHandle) to measure its frame.
RECT GetClientArea(Widget* widget);
int32_t ClientWidth(Widget* widget);
int32_t ClientHeight(Widget* widget);
void SetClientWidth(Widget* widget, int32_t w);
void SetClientHeight(Widget* widget, int32_t h);
// Values of 0 or less are skipped.
Widget* SetClientSize(Widget* widget, int32_t width, int32_t height);
Widget* CenterOnParent(Widget* widget);

void SetStyle(Widget* widget, uint32_t style);
bool CanResize(Widget* form);
void SetCanResize(Widget* form, bool canResize);
// The size-lock handler SetCanResize installs.
bool SizeLockHandler(Widget* form, MessageRecord* record, LRESULT* result);

ByteString GetText(Widget* widget);
void SetText(Widget* widget, const ByteString& text);
void SetColor(Widget* widget, uint32_t color);

// The Widget's font, made (not applied) on first use and owned by the Widget.
GdiTool* GetFont(Widget* widget);
// The font tool's onChange for a Widget (context: the Widget).
void WidgetFontChanged(void* context, RefObject* sender);
// Gives the Widget a copy of its parent's font that shares the parent's
// HFONT while unchanged (used when a child is made).
void InheritFont(Widget* child, GdiTool* parentFont);
// Sends the font to the window (when there is one), drops the surface that
// holds the old one and auto-sizes.
void ApplyFont(Widget* widget);
Widget* SetAutoSize(Widget* widget, bool on);
// The routine SetAutoSize(true) installs as autoSizeProc.
void AutoSizeToText(Widget* widget);
void Invalidate(Widget* widget);
