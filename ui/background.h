// Background brushes and the answers to colour messages: one cached solid
// brush per chain of Widgets with equal colours.
#pragma once
#include <windows.h>

class Widget;
struct MessageRecord;

// The brush of the topmost Widget of the chain of parents with this
// Widget's colour; remade when the colour's RGB changed.
HBRUSH GetBackgroundBrush(Widget* widget);
// The colour group of ControlNotify: a reflected WM_CTLCOLOR* (0xBD32 to
// 0xBD38) sets the DC's colours and answers the background brush.
bool ReflectedColorHandler(Widget* widget, MessageRecord* record, LRESULT* result);
// On every form: WM_ERASEBKGND fills the client area with the form's brush
// and then lets default processing run.
bool FormBackgroundHandler(Widget* form, MessageRecord* record, LRESULT* result);
