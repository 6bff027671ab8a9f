// The control kinds: constructors that fill fields only (windows are made
// lazily), the shared notification handler and the few kind operations.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "base/byte_string.h"
#include "ui/control_actions.h"
#include "ui/widget.h"

// Push button and check box (the check box patches autoSizeExtraX to 24).
extern const ControlActions ButtonActions;
// Single-line and multi-line edit boxes.
extern const ControlActions EditActions;

// EditOptions: bit i stands for option i.
typedef uint32_t EditOptions;
enum EditOption : uint32_t {
    NoHorzScroll = 1u << 0,    // absent: ES_AUTOHSCROLL | WS_HSCROLL
    NoVertScroll = 1u << 1,    // absent: ES_AUTOVSCROLL | WS_VSCROLL
    ForceLowerCase = 1u << 2,
    MultiLine = 1u << 3,
    KeepSelection = 1u << 4,
    OemConvert = 1u << 5,
    Password = 1u << 6,
    ReadOnly = 1u << 7,
    ForceUpperCase = 1u << 8,
    WantReturn = 1u << 9,
    // bit 10 has no style
    DigitsOnly = 1u << 11,
};

// One entry per option bit: a non-negative entry is ORed in when the option
// is present, a negative one is the complement of a mask ORed in when the
// option is absent.
extern const int32_t EditOptionStyles[12];
uint32_t StyleFromOptions(uint32_t options, const int32_t* table, int highestBit);

// The steps every kind starts from: a Widget of a window class that takes
// its parent's edges, colours, font and border; a control adds its
// style, a default place, a tab stop, a control id and ControlNotify.
Widget* MakeClassWidget(Widget* parent, const char* className, bool edgeFlag);
Widget* MakeChild(Widget* parent, const char* className, uint32_t style, bool edgeFlag,
                  const ControlActions* actions);

Widget* MakeForm(Widget* parent, const ByteString& caption);
Widget* MakeButton(Widget* parent, const ByteString& caption);
Widget* MakeCheckBox(Widget* parent, const ByteString& caption);
Widget* MakeEdit(Widget* parent, EditOptions options);
Widget* MakeProgressBar(Widget* parent);
Widget* MakeCommonControl(Widget* parent, const char* className, uint32_t style, bool edgeFlag,
                          const ControlActions* actions);

// Installed on every control by MakeChild: reflected WM_COMMAND codes,
// WM_SETFOCUS and the reflected colour messages.
bool ControlNotify(Widget* widget, MessageRecord* record, LRESULT* result);

void FocusControl(Widget* widget);
void Click(Widget* widget);
bool GetChecked(Widget* checkBox);
// packed: high word the setter message (bit 15: invalidate afterwards), or
// zero and the low word the getter message (setter = getter + 1).
void SetByMessage(Widget* widget, uint32_t packed, intptr_t value);
void SetProgress(Widget* bar, int position);
