// Lifetime of Widgets and their windows: what a form releases and in which
// order, Widgets released by the router when the system destroys their
// window, the run loop from start to shutdown, and re-entry through
// SendMessageA while a handler releases the Widget it runs for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui_test_support.h"

namespace {

using uitest::EventCounter;

const UINT ReleaseMe = WM_APP + 31;
const UINT Nested = WM_APP + 32;

// What happened, in order.
std::vector<std::string> g_log;

struct Probe {
    std::string name;
    HWND watched = nullptr;     // window whose existence is logged at destroy time
    int destroyed = 0;
    int32_t depthAtDestroy = -1;
    Widget* widget = nullptr;

    void Watch(Widget* w, const std::string& n) {
        name = n;
        widget = w;
        w->OnDestroy = EventHandler{&Fire, this};
    }
    static void Fire(void* context, RefObject* sender) {
        Probe* self = static_cast<Probe*>(context);
        ++self->destroyed;
        self->depthAtDestroy = static_cast<Widget*>(sender)->msgDepth;
        std::string entry = self->name;
        if (self->watched) entry += IsWindow(self->watched) ? "+window" : "-window";
        g_log.push_back(entry);
    }
};

// A plain RefObject registered with a form, to see it released in turn.
class Owned : public RefObject {
public:
    void Teardown() override {
        g_log.push_back("owned");
        DisposeBase(this);
    }
};

class LifetimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_log.clear();
        mainWidget = nullptr;
        appTerminated = false;
    }
    void TearDown() override {
        mainWidget = nullptr;
        appTerminated = false;
        uitest::Pump();
    }
};

bool LogDestroy(Widget* widget, MessageRecord* record, LRESULT*) {
    if (record->message == WM_DESTROY && record->window == widget->handle)
        g_log.push_back("WM_DESTROY");
    return false;
}

// Destroying a form ----------------------------------------------------------

TEST_F(LifetimeTest, FormReleasesWhatItOwnsInOrderBeforeItsWindowGoes) {
    Widget* form = MakeForm(nullptr, ByteString("f"));
    Probe formProbe, first, second, third;
    formProbe.Watch(form, "form");
    Widget* a = MakeButton(form, ByteString("a"));
    Widget* b = MakeEdit(form, 0);
    Widget* c = MakeCheckBox(form, ByteString("c"));
    first.Watch(a, "a");
    second.Watch(b, "b");
    third.Watch(c, "c");
    AddAutoFree(form, CreateObject<Owned>());
    ASSERT_TRUE(form->RealizeWindow());
    HWND formWindow = form->handle;
    HWND buttonWindow = a->handle;
    first.watched = formWindow;
    second.watched = formWindow;
    third.watched = formWindow;
    AddMessageHandler(form, LogDestroy, false);

    Release(form);
    const std::vector<std::string> expected = {"form", "a+window", "b+window", "c+window",
                                               "owned"};
    EXPECT_EQ(g_log, expected) << "the form's own WM_DESTROY never reaches its handlers: the "
                                  "window is detached first";
    EXPECT_FALSE(IsWindow(formWindow));
    EXPECT_FALSE(IsWindow(buttonWindow));
}

TEST_F(LifetimeTest, ControlReleasedAloneLeavesItsForm) {
    uitest::FormHolder form;
    Widget* a = MakeButton(form, ByteString("a"));
    Widget* b = MakeButton(form, ByteString("b"));
    ASSERT_TRUE(form->RealizeWindow());
    ASSERT_EQ(form->currentControl, a);
    HWND window = a->handle;
    Release(a);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(form->currentControl, nullptr);
    EXPECT_EQ(IndexOf(form->children, a), -1);
    EXPECT_EQ(IndexOf(form->autoFree, a), -1);
    EXPECT_EQ(form->children->count, 1);
    EXPECT_EQ(ItemAt(form->children, 0), b);
}

// The system destroys a window ---------------------------------------------------

TEST_F(LifetimeTest, NonMainFormClosedByTheUserIsReleasedAfterItsDestroy) {
    uitest::FormHolder mainForm;
    ASSERT_TRUE(mainForm->RealizeWindow());
    mainWidget = mainForm;

    Widget* form = MakeForm(nullptr, ByteString("second"));
    Widget* button = MakeButton(form, ByteString("b"));
    Probe formProbe, buttonProbe;
    formProbe.Watch(form, "form");
    buttonProbe.Watch(button, "button");
    AddMessageHandler(form, LogDestroy, false);
    ASSERT_TRUE(form->RealizeWindow());
    HWND window = form->handle;

    PostMessageA(window, WM_CLOSE, 0, 0);
    uitest::Pump();

    // WM_DESTROY first; the form Widget goes once its messages returned.
    ASSERT_FALSE(g_log.empty());
    EXPECT_EQ(g_log.front(), "WM_DESTROY");
    EXPECT_EQ(formProbe.destroyed, 1);
    EXPECT_EQ(buttonProbe.destroyed, 1);
    EXPECT_EQ(formProbe.depthAtDestroy, 0);
    EXPECT_FALSE(IsWindow(window));
    // The application goes on.
    MSG quit;
    EXPECT_FALSE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
    EXPECT_FALSE(appTerminated);
    EXPECT_TRUE(IsWindow(mainForm->handle));
    EXPECT_FALSE(mainForm->windowDestroyed);
    mainWidget = nullptr;
}

TEST_F(LifetimeTest, WidgetWithAnExtraReferenceSurvivesItsWindow) {
    uitest::FormHolder mainForm;
    mainWidget = mainForm;
    Widget* form = MakeForm(nullptr, ByteString("kept"));
    Probe probe;
    probe.Watch(form, "form");
    ASSERT_TRUE(form->RealizeWindow());
    AddRef(form);
    DestroyWindow(form->handle);
    uitest::Pump();
    EXPECT_EQ(probe.destroyed, 0);
    EXPECT_TRUE(form->windowDestroyed);
    EXPECT_EQ(form->refCount, 2);
    Release(form);
    EXPECT_EQ(probe.destroyed, 0) << "still the creator's reference";
    Release(form);
    EXPECT_EQ(probe.destroyed, 1);
    mainWidget = nullptr;
}

TEST_F(LifetimeTest, MainFormIsNeverReleasedByTheRouter) {
    Widget* form = MakeForm(nullptr, ByteString("main"));
    Probe probe;
    probe.Watch(form, "form");
    ASSERT_TRUE(form->RealizeWindow());
    mainWidget = form;
    DestroyWindow(form->handle);
    EXPECT_EQ(probe.destroyed, 0);
    EXPECT_TRUE(form->windowDestroyed);
    mainWidget = nullptr;
    Release(form);
    EXPECT_EQ(probe.destroyed, 1);
}

// The run loop -------------------------------------------------------------------

struct RunLoopSeen {
    bool formVisible = false;
    bool buttonVisible = false;
    bool quitQueuedAtDestroy = false;
    int closes = 0;
};
RunLoopSeen g_run;
Widget* g_button;

bool WatchClose(Widget* form, MessageRecord* record, LRESULT*) {
    if (record->message == WM_CLOSE) {
        ++g_run.closes;
        g_run.formVisible = IsWindowVisible(form->handle) != FALSE;
        g_run.buttonVisible = IsWindowVisible(g_button->handle) != FALSE;
    } else if (record->message == WM_DESTROY && record->window == form->handle) {
        MSG quit;
        g_run.quitQueuedAtDestroy =
            PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != FALSE;
    }
    return false;
}

TEST_F(LifetimeTest, ClosingTheMainFormEndsTheRunLoop) {
    g_run = RunLoopSeen();
    Widget* form = MakeForm(nullptr, ByteString("main"));
    g_button = MakeButton(form, ByteString("b"));
    EventCounter formDestroyed;
    form->OnDestroy = formDestroyed.Slot();
    Probe buttonProbe;
    buttonProbe.Watch(g_button, "button");
    AddMessageHandler(form, WatchClose, false);

    // Made before the loop, hidden; the loop's realization shows it all.
    ASSERT_NE(EnsureHandle(g_button), nullptr);
    ASSERT_FALSE(IsWindowVisible(form->handle));
    HWND window = form->handle;
    PostMessageA(window, WM_CLOSE, 0, 0);

    Widget* variable = form;
    MessageLoop(&variable);

    EXPECT_EQ(variable, nullptr);
    EXPECT_EQ(mainWidget, nullptr);
    EXPECT_TRUE(appTerminated);
    EXPECT_EQ(g_run.closes, 1);
    EXPECT_TRUE(g_run.formVisible);
    EXPECT_TRUE(g_run.buttonVisible);
    EXPECT_TRUE(g_run.quitQueuedAtDestroy) << "WM_QUIT is posted before the window goes";
    EXPECT_EQ(formDestroyed.calls, 1);
    EXPECT_EQ(buttonProbe.destroyed, 1);
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(LifetimeTest, RunLoopEndsWhenTheMainFormCannotBeMade) {
    // A child style with no parent window can never be created; waiting
    // for it to be closed would hang.
    Widget* form = MakeForm(nullptr, ByteString("broken"));
    form->style |= WS_CHILD;
    EventCounter destroyed;
    form->OnDestroy = destroyed.Slot();
    Widget* variable = form;
    MessageLoop(&variable);
    EXPECT_EQ(variable, nullptr);
    EXPECT_EQ(destroyed.calls, 1);
    EXPECT_EQ(mainWidget, nullptr);
}

TEST_F(LifetimeTest, ShutdownWithoutMainFormOnlyTerminates) {
    Widget* form = MakeForm(nullptr, ByteString("f"));
    Widget* variable = form;
    Shutdown(&variable);
    EXPECT_TRUE(appTerminated);
    EXPECT_EQ(variable, form) << "nothing was the main form, so nothing was released";
    appTerminated = false;
    mainWidget = form;
    Shutdown(&variable);
    EXPECT_EQ(variable, nullptr);
    EXPECT_EQ(mainWidget, nullptr);
}

// Re-entry -----------------------------------------------------------------------

bool ReleaseSelf(Widget* widget, MessageRecord* record, LRESULT* result) {
    if (record->message == ReleaseMe) {
        g_log.push_back("release");
        Release(widget);
        *result = 55;
        // Not handled: the built-in rules and default processing still run
        // on this Widget after the handler.
        return record->wParam != 0;
    }
    if (record->message == Nested) {
        g_log.push_back("nested");
        SendMessageA(widget->handle, ReleaseMe, record->wParam, 0);
        g_log.push_back("nested returned");
        return false;
    }
    return false;
}

struct ReentryCase {
    const char* name;
    UINT message;
    WPARAM handled;
};

TEST_F(LifetimeTest, HandlerReleasingItsOwnWidgetIsSafe) {
    const ReentryCase cases[] = {
        {"not handled", ReleaseMe, 0},
        {"handled", ReleaseMe, 1},
        {"inside a nested SendMessageA", Nested, 0},
    };
    uitest::FormHolder mainForm;
    mainWidget = mainForm;
    for (const ReentryCase& c : cases) {
        SCOPED_TRACE(c.name);
        g_log.clear();
        Widget* form = MakeForm(nullptr, ByteString("f"));
        Widget* edit = MakeEdit(form, 0);
        Probe formProbe, editProbe;
        formProbe.Watch(form, "destroyed");
        editProbe.Watch(edit, "edit destroyed");
        AddMessageHandler(form, ReleaseSelf, false);
        ASSERT_TRUE(form->RealizeWindow());
        HWND window = form->handle;

        SendMessageA(window, c.message, c.handled, 0);

        EXPECT_EQ(formProbe.destroyed, 1);
        EXPECT_EQ(editProbe.destroyed, 1);
        EXPECT_EQ(formProbe.depthAtDestroy, 0)
            << "destroyed only once no message of it was in progress";
        EXPECT_FALSE(IsWindow(window));
        ASSERT_FALSE(g_log.empty());
        EXPECT_EQ(g_log.back(), "edit destroyed");
    }
    mainWidget = nullptr;
}

void ReleaseFormOnClick(void* context, RefObject*) {
    g_log.push_back("click");
    Release(static_cast<Widget*>(context));
}

TEST_F(LifetimeTest, ClickHandlerReleasingTheFormOfItsButton) {
    uitest::FormHolder mainForm;
    mainWidget = mainForm;
    Widget* form = MakeForm(nullptr, ByteString("f"));
    Widget* button = MakeButton(form, ByteString("close"));
    Probe formProbe, buttonProbe;
    formProbe.Watch(form, "form");
    buttonProbe.Watch(button, "button");
    button->OnClick = EventHandler{&ReleaseFormOnClick, form};
    ASSERT_TRUE(form->RealizeWindow());
    HWND formWindow = form->handle;
    HWND buttonWindow = button->handle;

    SendMessageA(formWindow, WM_COMMAND, MAKEWPARAM(button->controlId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(buttonWindow));

    const std::vector<std::string> expected = {"click", "form", "button"};
    EXPECT_EQ(g_log, expected);
    EXPECT_EQ(formProbe.depthAtDestroy, 0);
    EXPECT_EQ(buttonProbe.depthAtDestroy, 0);
    EXPECT_FALSE(IsWindow(formWindow));
    EXPECT_FALSE(IsWindow(buttonWindow));
    mainWidget = nullptr;
}

// Creation failures --------------------------------------------------------------

TEST_F(LifetimeTest, FailedCreationLeavesNoWidgetWaitingForAWindow) {
    // A form that outlived its window (extra reference) still names the
    // dead window; a control made on it cannot get a window of its own.
    Widget* stale = MakeForm(nullptr, ByteString("stale"));
    ASSERT_TRUE(stale->RealizeWindow());
    AddRef(stale);
    DestroyWindow(stale->handle);
    Widget* button = MakeButton(stale, ByteString("b"));
    EXPECT_EQ(EnsureHandle(button), nullptr);
    EXPECT_EQ(creatingWidget, nullptr);

    // The next window belongs to its own Widget, not to the failed one.
    uitest::FormHolder next;
    ASSERT_TRUE(next->RealizeWindow());
    EXPECT_EQ(button->handle, nullptr);
    EXPECT_EQ(GetWindowLongPtrA(next->handle, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(next.get()));
    Release(stale);
    Release(stale);
}

}  // namespace
