#include "ui/controls.h"

#include <commctrl.h>

#include "ui/background.h"
#include "ui/gdi_tool.h"
#include "ui/message_routing.h"
#include "ui/properties.h"

const ControlActions ButtonActions = {BN_CLICKED, BN_SETFOCUS, BN_KILLFOCUS, 0, 0, 14, 6, 0};
const ControlActions EditActions = {0, EN_SETFOCUS, EN_KILLFOCUS, EN_CHANGE, 0, 0, 6, 0};

namespace {

// An EditOptionStyles entry for a style ORed in when its option is absent.
constexpr int32_t WhenAbsent(uint32_t styles) { return static_cast<int32_t>(~styles); }

}  // namespace

const int32_t EditOptionStyles[12] = {
    WhenAbsent(ES_AUTOHSCROLL | WS_HSCROLL),  // NoHorzScroll
    WhenAbsent(ES_AUTOVSCROLL | WS_VSCROLL),  // NoVertScroll
    ES_LOWERCASE, ES_MULTILINE, ES_NOHIDESEL, ES_OEMCONVERT, ES_PASSWORD, ES_READONLY,
    ES_UPPERCASE, ES_WANTRETURN, 0, ES_NUMBER,
};
static_assert(WhenAbsent(ES_AUTOHSCROLL | WS_HSCROLL) == static_cast<int32_t>(0xFFEFFF7Fu) &&
                  WhenAbsent(ES_AUTOVSCROLL | WS_VSCROLL) == static_cast<int32_t>(0xFFDFFFBFu),
              "the scroll options' entries");

namespace {

const uint32_t ButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_NOTIFY | BS_PUSHLIKE;
const uint32_t CheckBoxStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_NOTIFY | BS_AUTOCHECKBOX;
const uint32_t EditBaseStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP;
const uint32_t ScrollBarStyles = WS_HSCROLL | WS_VSCROLL;
const uint32_t ProgressStyle = WS_CHILD | WS_VISIBLE;
static_assert(ButtonStyle == 0x50015000 && CheckBoxStyle == 0x50014003 &&
                  EditBaseStyle == 0x50810000 && ProgressStyle == 0x50000000,
              "the control kinds' documented styles");

// The common-control classes MakeCommonControl makes sure of.
const uint32_t CommonControlClasses = ICC_WIN95_CLASSES;
static_assert(CommonControlClasses == 0xFF, "the eight classes of ICC_WIN95_CLASSES");

// SetByMessage's packed word for the progress bar: PBM_SETPOS, then a
// repaint (bit 15 of the setter); PBM_GETPOS as the getter.
const uint32_t InvalidateAfterSet = 0x8000;
const uint32_t SetProgressPacked = (InvalidateAfterSet | PBM_SETPOS) << 16 | PBM_GETPOS;
static_assert(SetProgressPacked == 0x84020408, "PBM_SETPOS with repaint, PBM_GETPOS");

// With BS_NOTIFY a button reports a double click as BN_DBLCLK instead of a
// second press; seen as a button-down it clicks again.
bool DoubleClickAsPress(Widget*, MessageRecord* record, LRESULT*) {
    if (record->message == WM_LBUTTONDBLCLK) record->message = WM_LBUTTONDOWN;
    return false;
}

bool CommonControlNotify(Widget* widget, MessageRecord* record, LRESULT*) {
    if (record->message != WM_NOTIFY || !record->lParam) return false;
    const NMHDR* header = reinterpret_cast<const NMHDR*>(record->lParam);
    switch (header->code) {
    case NM_CLICK:
    case NM_RCLICK:
        return FireEvent(widget->OnClick, widget);
    case NM_KILLFOCUS:
        return FireEvent(widget->OnLeave, widget);
    case NM_RETURN:
    case NM_SETFOCUS:
        return FireEvent(widget->OnEnter, widget);
    default:
        return false;
    }
}

}  // namespace

Widget* MakeClassWidget(Widget* parent, const char* className, bool edgeFlag) {
    Widget* widget = MakeWidget(parent);
    if (!widget) return nullptr;
    widget->className = className;
    if (parent) {
        widget->childEdge = parent->childEdge;
        widget->clientEdge = parent->childEdge ? edgeFlag : false;
        widget->textColor = parent->textColor;
        widget->color = parent->color;
        // Only the font is inherited: no Widget is ever given a brush tool
        // (the background brush is bkBrush, made from the colour).
        if (parent->font) InheritFont(widget, parent->font);
        widget->border = parent->border;
    }
    return widget;
}

Widget* MakeChild(Widget* parent, const char* className, uint32_t style, bool edgeFlag,
                  const ControlActions* actions) {
    Widget* widget = MakeClassWidget(parent, className, edgeFlag);
    if (!widget) return nullptr;
    widget->isControl = true;
    if (actions) widget->actions = *actions;
    widget->style = style | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
    if (widget->clientEdge) {
        widget->style &= ~static_cast<uint32_t>(WS_BORDER);
        widget->exStyle |= WS_EX_CLIENTEDGE;
    }
    if (parent) {
        widget->bounds.left = parent->border + parent->margins.left;
        widget->bounds.top = parent->border + parent->margins.top;
        widget->bounds.right = widget->bounds.left + 64;
        widget->bounds.bottom = widget->bounds.top + 64;
    }
    if (widget->style & WS_TABSTOP) {
        widget->tabStop = true;
        Widget* form = OwningForm(widget);
        if (form && !form->currentControl) form->currentControl = widget;
    }
    widget->controlId = nextControlId++;
    AddMessageHandler(widget, ControlNotify, false);
    return widget;
}

uint32_t StyleFromOptions(uint32_t options, const int32_t* table, int highestBit) {
    uint32_t style = 0;
    for (int i = 0; i <= highestBit; ++i, options >>= 1) {
        int32_t entry = table[i];
        if (entry >= 0) {
            if (options & 1) style |= static_cast<uint32_t>(entry);
        } else if (!(options & 1)) {
            style |= ~static_cast<uint32_t>(entry);
        }
    }
    return style;
}

Widget* MakeForm(Widget* parent, const ByteString& caption) {
    Widget* form = MakeClassWidget(parent, "Form", true);
    if (!form) return nullptr;
    form->classStyle |= CS_DBLCLKS;
    AddMessageHandler(form, FormFocusHandler, false);
    AddMessageHandler(form, FormBackgroundHandler, false);
    SetText(form, caption);
    return form;
}

Widget* MakeButton(Widget* parent, const ByteString& caption) {
    Widget* button = MakeChild(parent, "BUTTON", ButtonStyle, false, &ButtonActions);
    if (!button) return nullptr;
    SetHeight(button, 22);
    SetText(button, caption);
    AddMessageHandler(button, DoubleClickAsPress, false);
    return button;
}

Widget* MakeCheckBox(Widget* parent, const ByteString& caption) {
    Widget* box = MakeButton(parent, caption);
    if (!box) return nullptr;
    SetWidth(box, 72);
    box->style = CheckBoxStyle;
    box->actions.autoSizeExtraX = 24;
    return box;
}

Widget* MakeEdit(Widget* parent, EditOptions options) {
    uint32_t style = StyleFromOptions(options, EditOptionStyles, 11);
    const bool multiLine = (options & MultiLine) != 0;
    if (!multiLine) style &= ~ScrollBarStyles;
    style |= EditBaseStyle;
    Widget* edit = MakeChild(parent, "EDIT", style, true, &EditActions);
    if (!edit) return nullptr;
    if (multiLine)
        SetSize(edit, 200, 200);
    else
        SetSize(edit, 100, 22);
    return edit;
}

Widget* MakeProgressBar(Widget* parent) {
    Widget* bar = MakeCommonControl(parent, PROGRESS_CLASSA, ProgressStyle, true, nullptr);
    if (!bar) return nullptr;
    SetSize(bar, 300, 20);
    bar->controlId = 0;  // the counter has advanced all the same
    bar->textColor = ColorHighlight;
    bar->actions.setColorMsg = CCM_SETBKCOLOR;
    return bar;
}

Widget* MakeCommonControl(Widget* parent, const char* className, uint32_t style, bool edgeFlag,
                          const ControlActions* actions) {
    InitCommonControlClasses(CommonControlClasses);
    Widget* control = MakeChild(parent, className, style, edgeFlag, actions);
    if (control && control->parent) {
        AddMessageHandler(control, CommonControlNotify, false);
        AddMessageHandler(control->parent, ReflectNotify, false);
    }
    return control;
}

bool ControlNotify(Widget* widget, MessageRecord* record, LRESULT* result) {
    if (record->message == ReflectedCommand) {
        const uint16_t code = HIWORD(record->wParam);
        const ControlActions& a = widget->actions;
        // First match wins: a button's BN_CLICKED (0) is a click although
        // its changeCode is 0 as well.
        if (code == a.clickCode) {
            if (widget->focusing <= 0) {
                FocusControl(widget);
                Click(widget);
            }
        } else if (code == a.enterCode) {
            FireEvent(widget->OnEnter, widget);
        } else if (code == a.leaveCode) {
            FireEvent(widget->OnLeave, widget);
        } else if (code == a.changeCode) {
            FireEvent(widget->OnChange, widget);
        } else if (code == a.selChangeCode) {
            if (!FireEvent(widget->OnSelChange, widget)) FireEvent(widget->OnChange, widget);
        } else {
            return false;
        }
        *result = DefaultProcessing(widget, record);
        return true;
    }
    if (record->message == WM_SETFOCUS) {
        *result = 0;
        Widget* form = OwningForm(widget);
        if (!form) return true;
        form->currentControl = widget;
        return false;
    }
    return ReflectedColorHandler(widget, record, result);
}

void FocusControl(Widget* widget) {
    if (!widget->tabStop) return;
    if (widget->isControl) {
        Widget* form = OwningForm(widget);
        if (form) {
            if (form->currentControl && form->currentControl != widget) SetFocus(nullptr);
            form->currentControl = widget;
        }
        SetFocus(EnsureHandle(widget));
    } else {
        SetForegroundWindow(EnsureHandle(widget));
    }
}

void Click(Widget* widget) {
    widget->clickProc(widget);
    FireEvent(widget->OnClick, widget);
}

bool GetChecked(Widget* checkBox) {
    return (Perform(checkBox, BM_GETCHECK, 0, 0) & 0xFF) != 0;
}

void SetByMessage(Widget* widget, uint32_t packed, intptr_t value) {
    uint32_t setter = packed >> 16;
    if (setter == 0) setter = ((packed & 0xFFFF) + 1) & 0xFFFF;
    Perform(widget, setter & 0x7FFF, static_cast<WPARAM>(value), 0);
    if (setter & InvalidateAfterSet) Invalidate(widget);
}

void SetProgress(Widget* bar, int position) { SetByMessage(bar, SetProgressPacked, position); }
