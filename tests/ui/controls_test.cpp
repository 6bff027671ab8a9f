// Control behaviour on real windows: clicks and double clicks, the focus a
// click moves, check box state, the progress position, messages driven by a
// packed setter word, and the events edits and common controls raise.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "ui_test_support.h"

namespace {

using uitest::EventCounter;
using uitest::FormHolder;

// A realized form with an edit (its first tab stop) and a push button.
struct ClickForm {
    FormHolder form;
    Widget* edit;
    Widget* button;
    EventCounter clicks;

    ClickForm() {
        edit = MakeEdit(form, 0);
        button = MakeButton(form, ByteString("OK"));
        SetPosition(button, 10, 40);
        button->OnClick = clicks.Slot();
        RealizeOrFail();
    }
    void RealizeOrFail() {
        EXPECT_TRUE(form->RealizeWindow());
        SetForegroundWindow(form->handle);
        SetFocus(edit->handle);
        uitest::Pump();
    }
    LRESULT SendNotification(Widget* control, WORD code) {
        return SendMessageA(form->handle, WM_COMMAND, MAKEWPARAM(control->controlId, code),
                            reinterpret_cast<LPARAM>(control->handle));
    }
};

TEST(Click, NotificationFocusesTheButtonThenFiresOnClickOnce) {
    ClickForm f;
    ASSERT_EQ(f.form->currentControl, f.edit);
    ASSERT_EQ(GetFocus(), f.edit->handle);

    HWND focusAtClick = nullptr;
    Widget* currentAtClick = nullptr;
    f.clicks.onCall = [&] {
        focusAtClick = GetFocus();
        currentAtClick = f.form->currentControl;
    };
    f.SendNotification(f.button, BN_CLICKED);
    EXPECT_EQ(f.clicks.calls, 1);
    EXPECT_EQ(f.clicks.lastSender, f.button);
    EXPECT_EQ(focusAtClick, f.button->handle) << "focused before OnClick runs";
    EXPECT_EQ(currentAtClick, f.button);
    EXPECT_EQ(f.form->currentControl, f.button);
    EXPECT_EQ(GetFocus(), f.button->handle);
}

TEST(Click, ButtonClickedByTheSystemFiresOnce) {
    ClickForm f;
    SendMessageA(f.button->handle, BM_CLICK, 0, 0);
    uitest::Pump();
    EXPECT_EQ(f.clicks.calls, 1);
    EXPECT_EQ(f.form->currentControl, f.button);
    EXPECT_EQ(GetFocus(), f.button->handle);
}

TEST(Click, NoClickWhileTheLayerMovesTheFocus) {
    ClickForm f;
    f.button->focusing = 1;  // as inside TakeFocus or the WM_SETFOCUS rule
    f.SendNotification(f.button, BN_CLICKED);
    EXPECT_EQ(f.clicks.calls, 0);
    EXPECT_EQ(f.form->currentControl, f.edit) << "nor is the focus moved";
    EXPECT_EQ(GetFocus(), f.edit->handle);

    f.button->focusing = 0;
    f.SendNotification(f.button, BN_CLICKED);
    EXPECT_EQ(f.clicks.calls, 1);
}

TEST(Click, OtherButtonNotificationsAreNotClicks) {
    ClickForm f;
    EventCounter enter, leave;
    f.button->OnEnter = enter.Slot();
    f.button->OnLeave = leave.Slot();
    f.SendNotification(f.button, BN_SETFOCUS);
    f.SendNotification(f.button, BN_KILLFOCUS);
    f.SendNotification(f.button, BN_DBLCLK);
    EXPECT_EQ(f.clicks.calls, 0);
    EXPECT_EQ(enter.calls, 1);
    EXPECT_EQ(leave.calls, 1);
}

struct DoubleClickCase {
    const char* name;
    bool checkBox;
    int clicks;
    bool checkedAfter;
};

const DoubleClickCase kDoubleClicks[] = {
    {"push button", false, 2, false},
    {"check box", true, 2, false},  // toggled twice
};

// The system sends down, up, double-click, up. With BS_NOTIFY a button
// reports its double click as BN_DBLCLK instead of a second press unless
// the double click reaches it as a button-down.
TEST(Click, DoubleClickIsASecondClick) {
    for (const DoubleClickCase& c : kDoubleClicks) {
        SCOPED_TRACE(c.name);
        FormHolder form;
        Widget* b = c.checkBox ? MakeCheckBox(form, ByteString("x")) : MakeButton(form, ByteString("x"));
        EventCounter clicks;
        b->OnClick = clicks.Slot();
        ASSERT_TRUE(form->RealizeWindow());
        const LPARAM at = MAKELPARAM(5, 5);
        SendMessageA(b->handle, WM_LBUTTONDOWN, MK_LBUTTON, at);
        SendMessageA(b->handle, WM_LBUTTONUP, 0, at);
        SendMessageA(b->handle, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
        SendMessageA(b->handle, WM_LBUTTONUP, 0, at);
        uitest::Pump();
        EXPECT_EQ(clicks.calls, c.clicks);
        if (c.checkBox) EXPECT_EQ(GetChecked(b), c.checkedAfter);
    }
}

void MouseAt(DWORD flags, POINT p) {
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dx = p.x * 65535 / (GetSystemMetrics(SM_CXSCREEN) - 1);
    in.mi.dy = p.y * 65535 / (GetSystemMetrics(SM_CYSCREEN) - 1);
    in.mi.dwFlags = flags | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &in, sizeof in);
}

// The same through real input: the button's class kept CS_DBLCLKS from the
// system class, so the system itself turns the second press into
// WM_LBUTTONDBLCLK.
TEST(Click, RealDoubleClickIsTwoClicks) {
    FormHolder form;
    SetPosition(form, 120, 110);
    SetClientSize(form, 200, 100);
    Widget* button = MakeButton(form, ByteString("x"));
    SetPosition(button, 40, 30);
    EventCounter clicks;
    button->OnClick = clicks.Slot();
    ASSERT_TRUE(form->RealizeWindow());
    SetForegroundWindow(form->handle);
    uitest::Pump();
    uitest::MessageSpy spy(button->handle);
    RECT r{};
    GetWindowRect(button->handle, &r);
    const POINT centre{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    ASSERT_EQ(WindowFromPoint(centre), button->handle) << "nothing may cover the button";

    MouseAt(MOUSEEVENTF_MOVE, centre);
    for (int i = 0; i < 2; ++i) {
        MouseAt(MOUSEEVENTF_LEFTDOWN, centre);
        MouseAt(MOUSEEVENTF_LEFTUP, centre);
    }
    // Synthesized input reaches the window through the system's queues,
    // which a busy machine may hold up for a while: wait for the clicks
    // (up to 10 s, not a tight bound), not for a fixed time.
    const DWORD start = GetTickCount();
    while (clicks.calls < 2 && GetTickCount() - start < 10000) {
        uitest::Pump();
        Sleep(10);
    }
    EXPECT_EQ(spy.Only(WM_LBUTTONDBLCLK).size(), 1u) << "the system saw a double click";
    EXPECT_EQ(clicks.calls, 2);
}

struct CheckCase {
    WPARAM state;
    bool checked;
};

const CheckCase kChecks[] = {
    {BST_CHECKED, true},
    {BST_UNCHECKED, false},
    {BST_CHECKED, true},
};

TEST(CheckBox, GetCheckedFollowsTheWindowsState) {
    FormHolder form;
    Widget* box = MakeCheckBox(form, ByteString("Backup"));
    EXPECT_FALSE(GetChecked(box));
    ASSERT_NE(box->handle, nullptr) << "asking creates the window";
    for (const CheckCase& c : kChecks) {
        SendMessageA(box->handle, BM_SETCHECK, c.state, 0);
        EXPECT_EQ(GetChecked(box), c.checked) << "state " << c.state;
    }
    // A user's click toggles it too.
    ASSERT_TRUE(form->RealizeWindow());
    SendMessageA(box->handle, BM_CLICK, 0, 0);
    EXPECT_FALSE(GetChecked(box));
    SendMessageA(box->handle, BM_CLICK, 0, 0);
    EXPECT_TRUE(GetChecked(box));
}

TEST(ProgressBar, SetProgressSetsThePositionAndRepaintsTheWholeBar) {
    FormHolder form;
    Widget* bar = MakeProgressBar(form);
    ASSERT_TRUE(form->RealizeWindow());
    uitest::MessageSpy spy(bar->handle);
    for (int position : {0, 37, 100, 100}) {
        SCOPED_TRACE(position);
        uitest::Pump();
        ValidateRect(bar->handle, nullptr);
        spy.seen.clear();
        SetProgress(bar, position);
        EXPECT_EQ(SendMessageA(bar->handle, PBM_GETPOS, 0, 0), position);
        auto sets = spy.Only(PBM_SETPOS);
        ASSERT_EQ(sets.size(), 1u);
        EXPECT_EQ(sets[0].wParam, static_cast<WPARAM>(position));
        // The whole client area, even when the position did not change.
        RECT dirty{}, client{};
        GetClientRect(bar->handle, &client);
        ASSERT_TRUE(GetUpdateRect(bar->handle, &dirty, FALSE));
        EXPECT_TRUE(EqualRect(&dirty, &client));
    }
}

struct PackedCase {
    uint32_t packed;
    UINT sent;
    bool repaints;
};

const PackedCase kPacked[] = {
    {0x84020408, 0x0402, true},   // the progress bar's word
    {0x04020408, 0x0402, false},  // same setter without the repaint bit
    {0x00000401, 0x0402, false},  // getter word only: setter = getter + 1
    {0x00008401, 0x0402, true},   // getter + 1 keeps bit 15 as the repaint bit
};

TEST(SetByMessage, SendsTheSetterWordWithTheValue) {
    for (const PackedCase& c : kPacked) {
        SCOPED_TRACE(testing::Message() << std::hex << c.packed);
        FormHolder form;
        Widget* bar = MakeProgressBar(form);
        ASSERT_TRUE(form->RealizeWindow());
        uitest::Pump();
        // Park the bar at 10 and clean, so only the setter can dirty it.
        SendMessageA(bar->handle, PBM_SETPOS, 10, 0);
        uitest::Pump();
        ValidateRect(bar->handle, nullptr);
        uitest::MessageSpy spy(bar->handle);
        SetByMessage(bar, c.packed, 10);
        ASSERT_FALSE(spy.seen.empty());
        EXPECT_EQ(spy.seen[0].message, c.sent);
        EXPECT_EQ(spy.seen[0].wParam, 10u);
        EXPECT_EQ(spy.seen[0].lParam, 0);
        RECT dirty{};
        EXPECT_EQ(GetUpdateRect(bar->handle, &dirty, FALSE) != FALSE, c.repaints);
    }
}

TEST(EditEvents, FocusAndTypingRaiseEnterLeaveAndChange) {
    ClickForm f;
    EventCounter enter, leave, change;
    f.edit->OnEnter = enter.Slot();
    f.edit->OnLeave = leave.Slot();
    f.edit->OnChange = change.Slot();
    SetFocus(f.button->handle);
    EXPECT_EQ(leave.calls, 1);
    EXPECT_EQ(f.form->currentControl, f.button) << "WM_SETFOCUS moves the current control";
    SetFocus(f.edit->handle);
    EXPECT_EQ(enter.calls, 1);
    EXPECT_EQ(f.form->currentControl, f.edit);
    SendMessageA(f.edit->handle, WM_CHAR, 'x', 1);
    EXPECT_EQ(change.calls, 1);
    EXPECT_EQ(f.clicks.calls, 0) << "EN_* codes are never clicks";
}

struct NotifyCase {
    const char* name;
    UINT code;
    int clicks, enters, leaves;
};

const NotifyCase kNotify[] = {
    {"NM_CLICK", NM_CLICK, 1, 0, 0},
    {"NM_RCLICK", NM_RCLICK, 1, 0, 0},
    {"NM_KILLFOCUS", NM_KILLFOCUS, 0, 0, 1},
    {"NM_RETURN", NM_RETURN, 0, 1, 0},
    {"NM_SETFOCUS", NM_SETFOCUS, 0, 1, 0},
    {"NM_DBLCLK", NM_DBLCLK, 0, 0, 0},
};

TEST(CommonControl, NotificationsFromTheBarRaiseItsEvents) {
    for (const NotifyCase& c : kNotify) {
        SCOPED_TRACE(c.name);
        FormHolder form;
        Widget* bar = MakeProgressBar(form);
        EventCounter click, enter, leave;
        bar->OnClick = click.Slot();
        bar->OnEnter = enter.Slot();
        bar->OnLeave = leave.Slot();
        ASSERT_TRUE(form->RealizeWindow());
        NMHDR header{bar->handle, 0, c.code};
        SendMessageA(form->handle, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&header));
        EXPECT_EQ(click.calls, c.clicks);
        EXPECT_EQ(enter.calls, c.enters);
        EXPECT_EQ(leave.calls, c.leaves);
        if (c.clicks) EXPECT_EQ(click.lastSender, bar);
    }
}

TEST(CommonControl, UnsetEventsAreSkipped) {
    FormHolder form;
    Widget* bar = MakeProgressBar(form);
    ASSERT_TRUE(form->RealizeWindow());
    NMHDR header{bar->handle, 0, static_cast<UINT>(NM_CLICK)};
    // Nothing assigned: the empty slot is skipped.
    SendMessageA(form->handle, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&header));
    EventCounter click;
    bar->OnClick = click.Slot();
    SendMessageA(form->handle, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&header));
    EXPECT_EQ(click.calls, 1);
}

}  // namespace
