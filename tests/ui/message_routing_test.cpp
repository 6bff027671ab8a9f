// Message routing: the handler list, the built-in rules (reflection of
// commands and colour requests to the control, Tab swallowing, the end of a
// window) and where messages of windows without a Widget go.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/background.h"
#include "ui_test_support.h"

#include <commctrl.h>  // after <windows.h>

namespace {

using uitest::FormHolder;
using uitest::MessageSpy;

const UINT TestMessage = WM_APP + 17;

// Handlers are plain procedures; they report to these.
std::vector<int> g_calls;
int g_handler = 0;         // which numbered handler claims TestMessage (0: none)
std::vector<MessageRecord> g_records;

template <int N>
bool Numbered(Widget*, MessageRecord* record, LRESULT* result) {
    if (record->message != TestMessage) return false;
    g_calls.push_back(N);
    if (N != g_handler) return false;
    *result = 100 + N;
    return true;
}

bool Recorder(Widget*, MessageRecord* record, LRESULT* result) {
    if (record->message != TestMessage) return false;
    g_records.push_back(*record);
    *result = 4242;
    return true;
}

class RoutingTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        g_records.clear();
        g_handler = 0;
        mainWidget = nullptr;
        appTerminated = false;
    }
    void TearDown() override {
        mainWidget = nullptr;
        appTerminated = false;
        uitest::Pump();
    }
};

// The handler list -----------------------------------------------------------

TEST_F(RoutingTest, HandlerAddedTwiceIsCalledOnce) {
    FormHolder form;
    ASSERT_TRUE(form->RealizeWindow());
    const int32_t before = form->messageHandlers->count;
    AddMessageHandler(form, Numbered<1>, false);
    AddMessageHandler(form, Numbered<1>, false);
    EXPECT_EQ(form->messageHandlers->count, before + 2) << "one pair: procedure and keep flag";
    EXPECT_EQ(form->messageProc, &CallMessageHandlers);
    SendMessageA(form->handle, TestMessage, 0, 0);
    EXPECT_EQ(g_calls, std::vector<int>{1});
}

struct OrderCase {
    int handledBy;
    std::vector<int> calls;
    LRESULT result;  // what SendMessageA returns
};

TEST_F(RoutingTest, NewestHandlerFirstAndAHandledMessageStops) {
    const OrderCase cases[] = {
        {0, {3, 2, 1}, 0},  // nobody: DefWindowProcA answers 0
        {3, {3}, 103},
        {2, {3, 2}, 102},
        {1, {3, 2, 1}, 101},
    };
    for (const OrderCase& c : cases) {
        SCOPED_TRACE(c.handledBy);
        g_calls.clear();
        g_handler = c.handledBy;
        FormHolder form;
        ASSERT_TRUE(form->RealizeWindow());
        AddMessageHandler(form, Numbered<1>, false);
        AddMessageHandler(form, Numbered<2>, false);
        AddMessageHandler(form, Numbered<3>, false);
        EXPECT_EQ(SendMessageA(form->handle, TestMessage, 0, 0), c.result);
        EXPECT_EQ(g_calls, c.calls);
    }
}

TEST_F(RoutingTest, WhileTerminatingOnlyKeptHandlersRun) {
    FormHolder form;
    ASSERT_TRUE(form->RealizeWindow());
    AddMessageHandler(form, Numbered<1>, true);
    AddMessageHandler(form, Numbered<2>, false);
    appTerminated = true;
    SendMessageA(form->handle, TestMessage, 0, 0);
    EXPECT_EQ(g_calls, std::vector<int>{1});
    appTerminated = false;
}

TEST_F(RoutingTest, HandlersSeeTheMessageAsSent) {
    FormHolder form;
    ASSERT_TRUE(form->RealizeWindow());
    AddMessageHandler(form, Recorder, false);
    EXPECT_EQ(SendMessageA(form->handle, TestMessage, 0x1234, -5), 4242);
    ASSERT_EQ(g_records.size(), 1u);
    EXPECT_EQ(g_records[0].window, form->handle);
    EXPECT_EQ(g_records[0].message, TestMessage);
    EXPECT_EQ(g_records[0].wParam, 0x1234u);
    EXPECT_EQ(g_records[0].lParam, -5) << "lParam keeps its full pointer-sized value";
}

TEST_F(RoutingTest, WidgetInTeardownGetsNoHandlerCalls) {
    FormHolder form;
    AddMessageHandler(form, Numbered<1>, false);
    MessageRecord record{nullptr, TestMessage, 0, 0, 0, {0, 0}};
    LRESULT result = 0;
    form->refCount = -2;
    EXPECT_FALSE(CallMessageHandlers(form, &record, &result));
    form->refCount = 0;
    EXPECT_TRUE(g_calls.empty());
    EXPECT_FALSE(CallMessageHandlers(form, &record, &result));
    EXPECT_EQ(g_calls, std::vector<int>{1});
}

// Reflection to the control -------------------------------------------------

TEST_F(RoutingTest, CommandReachesTheButtonAsReflectedCommand) {
    FormHolder form;
    Widget* button = MakeButton(form, ByteString("b"));
    ASSERT_TRUE(form->RealizeWindow());
    MessageSpy spy(button->handle);
    const WPARAM wParam = MAKEWPARAM(button->controlId, 0x77);  // a code nobody handles
    const LPARAM lParam = reinterpret_cast<LPARAM>(button->handle);
    SendMessageA(form->handle, WM_COMMAND, wParam, lParam);
    std::vector<uitest::Seen> got = spy.Only(ReflectedCommand);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].wParam, wParam);
    EXPECT_EQ(got[0].lParam, lParam);
    EXPECT_EQ(ReflectedCommand, 0xB005u);
}

TEST_F(RoutingTest, CommandFromAForeignWindowIsNotReflected) {
    FormHolder form;
    ASSERT_TRUE(form->RealizeWindow());
    HWND foreign = CreateWindowExA(0, "BUTTON", "x", WS_CHILD, 0, 0, 10, 10, form->handle,
                                   nullptr, nullptr, nullptr);
    ASSERT_NE(foreign, nullptr);
    MessageSpy spy(foreign);
    SendMessageA(form->handle, WM_COMMAND, MAKEWPARAM(1, BN_CLICKED),
                 reinterpret_cast<LPARAM>(foreign));
    // A menu command has no sender window at all.
    SendMessageA(form->handle, WM_COMMAND, MAKEWPARAM(1, 0), 0);
    EXPECT_TRUE(spy.Only(ReflectedCommand).empty());
    spy.Detach();
    DestroyWindow(foreign);
}

TEST_F(RoutingTest, ColourRequestsReachTheControlAtReflectedColorBase) {
    FormHolder form;
    Widget* edit = MakeEdit(form, 0);
    ASSERT_TRUE(form->RealizeWindow());
    HDC dc = GetDC(edit->handle);
    for (UINT message = WM_CTLCOLORMSGBOX; message <= WM_CTLCOLORSTATIC; ++message) {
        SCOPED_TRACE(message);
        MessageSpy spy(edit->handle);
        LRESULT answer = SendMessageA(form->handle, message, reinterpret_cast<WPARAM>(dc),
                                      reinterpret_cast<LPARAM>(edit->handle));
        std::vector<uitest::Seen> got = spy.Only(message + 0xBC00);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].wParam, reinterpret_cast<WPARAM>(dc));
        EXPECT_EQ(got[0].lParam, reinterpret_cast<LPARAM>(edit->handle));
        EXPECT_EQ(answer, reinterpret_cast<LRESULT>(GetBackgroundBrush(edit)))
            << "the form passes on the control's own answer";
    }
    ReleaseDC(edit->handle, dc);
    EXPECT_EQ(WM_CTLCOLOREDIT + ReflectedColorBase, 0xBD33u);
}

TEST_F(RoutingTest, NotifyIsHandedToTheSendingLayerControl) {
    FormHolder form;
    Widget* bar = MakeProgressBar(form);
    ASSERT_TRUE(form->RealizeWindow());
    AddMessageHandler(bar, Recorder, false);
    int clicks = 0;
    bar->OnClick = EventHandler{[](void* c, RefObject*) { ++*static_cast<int*>(c); }, &clicks};

    NMHDR header{bar->handle, 0, static_cast<UINT>(NM_CLICK)};
    SendMessageA(form->handle, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&header));
    EXPECT_EQ(clicks, 1);

    // A window that is not the layer's, with a non-pointer in its user
    // data, is left alone rather than taken for a Widget.
    HWND foreign = CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, 0, 5, 5, form->handle, nullptr,
                                   nullptr, nullptr);
    SetWindowLongPtrA(foreign, GWLP_USERDATA, 0x1234);
    NMHDR fromForeign{foreign, 0, static_cast<UINT>(NM_CLICK)};
    MessageRecord record{form->handle, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&fromForeign), 0,
                         {0, 0}};
    LRESULT result = 0;
    EXPECT_FALSE(ReflectNotify(form, &record, &result));
    EXPECT_EQ(record.window, form->handle);
    DestroyWindow(foreign);

    // Other messages are not its business.
    MessageRecord other{form->handle, TestMessage, 0, reinterpret_cast<LPARAM>(&header), 0, {0, 0}};
    EXPECT_FALSE(ReflectNotify(form, &other, &result));
    EXPECT_TRUE(g_records.empty());
}

// Keys ------------------------------------------------------------------------

struct TabCase {
    const char* name;
    bool control;
    bool alt;
    WPARAM character;
    const char* text;  // the multi-line edit's text afterwards
};

void SetKeyDown(int key, bool down) {
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[key] = down ? 0x80 : 0;
    SetKeyboardState(keys);
}

TEST_F(RoutingTest, TabCharacterIsSwallowedUnlessCtrlOrAltIsDown) {
    const TabCase cases[] = {
        {"plain Tab", false, false, 9, ""},
        {"Tab in the low byte, more bits above", false, false, 0x0109, ""},
        {"Ctrl+Tab", true, false, 9, "\t"},
        {"Alt+Tab", false, true, 9, "\t"},
        {"plain letter", false, false, 'a', "a"},
    };
    for (const TabCase& c : cases) {
        SCOPED_TRACE(c.name);
        FormHolder form;
        Widget* edit = MakeEdit(form, NoHorzScroll | MultiLine);
        ASSERT_TRUE(form->RealizeWindow());
        SetKeyDown(VK_CONTROL, c.control);
        SetKeyDown(VK_MENU, c.alt);
        SendMessageA(edit->handle, WM_CHAR, c.character, 1);
        SetKeyDown(VK_CONTROL, false);
        SetKeyDown(VK_MENU, false);
        EXPECT_EQ(uitest::WindowText(edit->handle), c.text);
    }
}

TEST_F(RoutingTest, TabKeyDownDoesNotMoveTheFocus) {
    FormHolder form;
    Widget* first = MakeEdit(form, 0);
    Widget* second = MakeEdit(form, 0);
    ASSERT_TRUE(form->RealizeWindow());
    SetForegroundWindow(form->handle);
    SetFocus(first->handle);
    ASSERT_EQ(GetFocus(), first->handle);
    PostMessageA(first->handle, WM_KEYDOWN, VK_TAB, 1);
    PostMessageA(first->handle, WM_KEYUP, VK_TAB, 0xC0000001);
    uitest::Pump();
    EXPECT_EQ(GetFocus(), first->handle);
    EXPECT_NE(GetFocus(), second->handle);
}

// The end of a window -------------------------------------------------------

TEST_F(RoutingTest, NcDestroyReturnsZeroWithoutDefaultProcessing) {
    // Control experiment: DefWindowProcA frees the window text on
    // WM_NCDESTROY.
    HWND plain = CreateWindowExA(0, "STATIC", "abc", WS_POPUP, 0, 0, 5, 5, nullptr, nullptr,
                                 nullptr, nullptr);
    ASSERT_NE(plain, nullptr);
    DefWindowProcA(plain, WM_NCDESTROY, 0, 0);
    const bool defaultFreesText = uitest::WindowText(plain).empty();
    DestroyWindow(plain);

    FormHolder form("abc");
    ASSERT_TRUE(form->RealizeWindow());
    EXPECT_EQ(SendMessageA(form->handle, WM_NCDESTROY, 0, 0), 0);
    if (defaultFreesText) EXPECT_EQ(uitest::WindowText(form->handle), "abc");
    MessageRecord record{form->handle, WM_NCDESTROY, 0, 0, 0, {0, 0}};
    EXPECT_EQ(form->RouteMessage(&record), 0);
    EXPECT_EQ(uitest::WindowText(form->handle), "abc");
}

// Windows without a Widget ---------------------------------------------------

TEST_F(RoutingTest, MessagesOfAWindowWithoutWidgetGoToTheMainForm) {
    FormHolder form;
    ASSERT_TRUE(form->RealizeWindow());
    AddMessageHandler(form, Recorder, false);
    // A window of the layer's class made behind its back: no Widget is
    // being created, so nothing adopts it.
    HWND orphan = CreateWindowExA(0, "obj_Form", "orphan", WS_POPUP, 0, 0, 20, 20, nullptr,
                                  nullptr, moduleInstance, nullptr);
    ASSERT_NE(orphan, nullptr);
    EXPECT_EQ(GetWindowLongPtrA(orphan, GWLP_USERDATA), 0);

    // With no main form: DefWindowProcA.
    EXPECT_EQ(SendMessageA(orphan, TestMessage, 0, 0), 0);
    EXPECT_EQ(SendMessageA(orphan, WM_GETTEXTLENGTH, 0, 0), 6);
    EXPECT_TRUE(g_records.empty());

    mainWidget = form;
    EXPECT_EQ(SendMessageA(orphan, TestMessage, 7, 8), 4242);
    ASSERT_EQ(g_records.size(), 1u);
    EXPECT_EQ(g_records[0].window, orphan) << "the record still names the orphan";
    // Default processing of the main form is DefWindowProcA for that window.
    EXPECT_EQ(SendMessageA(orphan, WM_GETTEXTLENGTH, 0, 0), 6);
    // The orphan's last messages do not mark the main form's window gone.
    DestroyWindow(orphan);
    EXPECT_FALSE(form->windowDestroyed);
    EXPECT_EQ(form->handle != nullptr && IsWindow(form->handle), TRUE);
    mainWidget = nullptr;
}

// Focus -----------------------------------------------------------------------

TEST_F(RoutingTest, FormFocusGoesToItsCurrentControl) {
    FormHolder mainForm;
    FormHolder form;
    Widget* edit = MakeEdit(form, 0);
    ASSERT_EQ(form->currentControl, edit);
    ASSERT_TRUE(mainForm->RealizeWindow());
    ASSERT_TRUE(form->RealizeWindow());
    mainWidget = mainForm;

    MessageRecord record{form->handle, WM_SETFOCUS, 0, 0, 0, {0, 0}};
    LRESULT result = 0;
    SetForegroundWindow(form->handle);
    EXPECT_TRUE(FormFocusHandler(form, &record, &result));
    EXPECT_EQ(GetFocus(), edit->handle);
    EXPECT_EQ(mainForm->currentControl, form.get()) << "the main form remembers the last form";

    FormHolder empty;
    ASSERT_TRUE(empty->RealizeWindow());
    MessageRecord forEmpty{empty->handle, WM_SETFOCUS, 0, 0, 0, {0, 0}};
    EXPECT_FALSE(FormFocusHandler(empty, &forEmpty, &result));
    MessageRecord other{form->handle, WM_KILLFOCUS, 0, 0, 0, {0, 0}};
    EXPECT_FALSE(FormFocusHandler(form, &other, &result));

    // The main form's record of the last focused form must not outlive
    // that form: its focus handler would otherwise realize freed memory.
    EXPECT_EQ(mainForm->currentControl, empty.get());
    Widget* gone = empty.get();
    empty.Reset();
    // Activation may pass to the other form, which then records itself.
    EXPECT_NE(mainForm->currentControl, gone);
    mainForm->currentControl = form;
    form.Reset();
    EXPECT_EQ(mainForm->currentControl, nullptr);
    mainWidget = nullptr;
}

struct MainFormCase {
    const char* name;
    bool mainIsSet;
    bool askAboutMain;  // the Widget asked about is the main form
    bool control;
    bool expected;
};

TEST_F(RoutingTest, IsMainFormAndOwningForm) {
    const MainFormCase cases[] = {
        {"no main form, a form", false, false, false, true},
        {"no main form, a control", false, false, true, false},
        {"main form set, that form", true, true, false, true},
        {"main form set, another form", true, false, false, false},
        {"main form set, a control", true, false, true, false},
    };
    for (const MainFormCase& c : cases) {
        SCOPED_TRACE(c.name);
        FormHolder mainForm;
        FormHolder other;
        Widget* control = MakeButton(other, ByteString("b"));
        mainWidget = c.mainIsSet ? mainForm.get() : nullptr;
        Widget* asked = c.control ? control : (c.askAboutMain ? mainForm.get() : other.get());
        EXPECT_EQ(IsMainForm(asked), c.expected);
        mainWidget = nullptr;
    }

    FormHolder form;
    Widget* outer = MakeChild(form, "BUTTON", WS_CHILD, false, nullptr);
    Widget* inner = MakeChild(outer, "BUTTON", WS_CHILD, false, nullptr);
    EXPECT_EQ(OwningForm(inner), form.get());
    EXPECT_EQ(OwningForm(form), form.get());
    Widget* loose = MakeChild(nullptr, "BUTTON", WS_CHILD, false, nullptr);
    EXPECT_EQ(OwningForm(loose), nullptr);
    Release(loose);
}

TEST_F(RoutingTest, IsEnabledReadsTheWindowOnceItExists) {
    FormHolder form;
    Widget* button = MakeButton(form, ByteString("b"));
    EXPECT_TRUE(IsEnabled(button));
    button->style |= WS_DISABLED;
    EXPECT_FALSE(IsEnabled(button)) << "from the stored style";
    ASSERT_TRUE(form->RealizeWindow());
    EXPECT_FALSE(IsEnabled(button));
    EnableWindow(button->handle, TRUE);
    EXPECT_TRUE(IsEnabled(button)) << "from the window";
}

// Pumping -----------------------------------------------------------------------

struct PumpCase {
    const char* name;
    UINT posted;
    bool result;
    bool terminated;
};

TEST_F(RoutingTest, PumpOneMessageResults) {
    const PumpCase cases[] = {
        {"nothing queued", 0xFFFFFFFF, false, false},
        {"a message", WM_APP + 3, true, false},
        {"WM_NULL", WM_NULL, false, false},
        {"WM_QUIT", WM_QUIT, true, true},
    };
    FormHolder form;
    ASSERT_TRUE(form->RealizeWindow());
    for (const PumpCase& c : cases) {
        SCOPED_TRACE(c.name);
        uitest::Pump();
        appTerminated = false;
        if (c.posted == WM_QUIT)
            PostQuitMessage(0);
        else if (c.posted != 0xFFFFFFFF)
            PostMessageA(form->handle, c.posted, 0, 0);
        EXPECT_EQ(PumpOneMessage(), c.result);
        EXPECT_EQ(appTerminated, c.terminated);
    }
    appTerminated = false;
}

TEST_F(RoutingTest, PumpPendingStopsAtWmNull) {
    FormHolder form;
    ASSERT_TRUE(form->RealizeWindow());
    AddMessageHandler(form, Recorder, false);
    uitest::Pump();
    PostMessageA(form->handle, TestMessage, 1, 0);
    PostMessageA(form->handle, WM_NULL, 0, 0);
    PostMessageA(form->handle, TestMessage, 2, 0);
    PumpPending();
    ASSERT_EQ(g_records.size(), 1u);
    PumpPending();
    ASSERT_EQ(g_records.size(), 2u);
    EXPECT_EQ(g_records[1].wParam, 2u);
}

}  // namespace
