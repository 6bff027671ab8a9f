// The shared window procedure, per-Widget handler lists, the built-in
// routing rules and the run loop.
#pragma once
#include <windows.h>

#include "ui/widget.h"

// The system's MSG layout; handle and lParam words are pointer-sized.
struct MessageRecord {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

// A control's WM_COMMAND passed on to the control itself.
const UINT ReflectedCommand = 0xB005;
// Added to a WM_CTLCOLOR* number when it is passed on to the control.
const UINT ReflectedColorBase = 0xBC00;

extern bool appTerminated;

LRESULT CALLBACK SharedWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT DefaultProcessing(Widget* widget, MessageRecord* record);

// Adds once; later additions of the same procedure change nothing.
void AddMessageHandler(Widget* widget, MessageHandler handler, bool keep);
// Newest handler first; stops at the first that handles the message.
bool CallMessageHandlers(Widget* widget, MessageRecord* record, LRESULT* result);
bool ReflectNotify(Widget* widget, MessageRecord* record, LRESULT* result);
bool FormFocusHandler(Widget* form, MessageRecord* record, LRESULT* result);

bool TakeFocus(Widget* widget);
bool IsEnabled(Widget* widget);
bool IsMainForm(Widget* widget);
Widget* OwningForm(Widget* widget);

bool PumpOneMessage();
void PumpPending();
// Shows the form in the variable and runs until WM_QUIT; the variable is
// null afterwards.
void MessageLoop(Widget** mainFormVariable);
void Shutdown(Widget** mainFormVariable);
