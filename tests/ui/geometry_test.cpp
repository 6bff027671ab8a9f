// Placement and size on real windows: client size, outer size, centring on
// the screen and in a form, and the size lock of a form.
#include <gtest/gtest.h>

#include "ui_test_support.h"

namespace {

using uitest::ClientSize;
using uitest::FormHolder;
using uitest::WindowSize;

RECT ScreenRect(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return r;
}

// Rectangle of a child window in its parent's client coordinates.
RECT ChildRect(HWND child) {
    RECT r = ScreenRect(child);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

TEST(Geometry, ProgramSequencePlacesTheFormAndSizesItsClientArea) {
    FormHolder form;
    SetPosition(form, 192, 114);
    EXPECT_EQ(form->handle, nullptr) << "a position is only stored";
    EXPECT_EQ(form->positionSet, PositionLeftSet | PositionTopSet);

    SetClientSize(form, 275, 205);
    ASSERT_NE(form->handle, nullptr) << "measuring the frame needs the window";
    SIZE client = ClientSize(form->handle);
    EXPECT_EQ(client.cx, 275);
    EXPECT_EQ(client.cy, 205);
    RECT r = ScreenRect(form->handle);
    EXPECT_EQ(r.left, 192);
    EXPECT_EQ(r.top, 114);
    EXPECT_EQ(ClientWidth(form), 275);
    EXPECT_EQ(ClientHeight(form), 205);
    EXPECT_FALSE(IsWindowVisible(form->handle)) << "made hidden before the run loop";
}

struct ClientCase {
    int width, height;          // SetClientSize arguments
    int expectW, expectH;       // client size afterwards; -1: unchanged
};

const ClientCase kClient[] = {
    {275, 205, 275, 205},
    {0, 150, -1, 150},
    {-5, 120, -1, 120},
    {310, 0, 310, -1},
    {333, -1, 333, -1},
    {401, 299, 401, 299},
};

TEST(Geometry, SetClientSizeSkipsValuesOfZeroOrLess) {
    for (const ClientCase& c : kClient) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
        FormHolder form;
        SetClientSize(form, 250, 180);
        ASSERT_NE(form->handle, nullptr);
        const SIZE before = ClientSize(form->handle);
        ASSERT_EQ(before.cx, 250);
        ASSERT_EQ(before.cy, 180);
        EXPECT_EQ(SetClientSize(form, c.width, c.height), form.get());
        SIZE after = ClientSize(form->handle);
        EXPECT_EQ(after.cx, c.expectW < 0 ? before.cx : c.expectW);
        EXPECT_EQ(after.cy, c.expectH < 0 ? before.cy : c.expectH);
    }
}

struct SizeCase {
    const char* name;
    bool control;  // a button in a form, else the form itself
    int width, height;
    int expectW, expectH;  // -1: as before
};

const SizeCase kSizes[] = {
    {"form, width only", false, 333, 0, 333, -1},
    {"form, height only", false, 0, 222, -1, 222},
    {"form, both", false, 345, 234, 345, 234},
    {"button, width only", true, 90, 0, 90, 22},
    {"button, height only", true, 0, 30, 64, 30},
    {"button, both", true, 120, 40, 120, 40},
};

TEST(Geometry, SetSizeLeavesAZeroDimensionAlone) {
    for (const SizeCase& c : kSizes) {
        SCOPED_TRACE(c.name);
        FormHolder form;
        SetSize(form, 300, 250);
        Widget* w = c.control ? MakeButton(form, ByteString("b")) : form.get();
        ASSERT_TRUE(form->RealizeWindow());
        const SIZE before = WindowSize(w->handle);
        EXPECT_EQ(SetSize(w, c.width, c.height), w);
        const SIZE after = WindowSize(w->handle);
        EXPECT_EQ(after.cx, c.expectW < 0 ? before.cx : c.expectW);
        EXPECT_EQ(after.cy, c.expectH < 0 ? before.cy : c.expectH);
        EXPECT_EQ(GetWidth(w), after.cx);
        EXPECT_EQ(GetHeight(w), after.cy);
    }
}

TEST(Geometry, ControlBoundsAreInTheParentsClientCoordinates) {
    FormHolder form;
    SetPosition(form, 50, 60);
    Widget* button = MakeButton(form, ByteString("b"));
    EXPECT_EQ(button->bounds.left, 2) << "border 2 from the parent's edge";
    EXPECT_EQ(button->bounds.top, 2);
    SetPosition(button, 10, 20);
    ASSERT_TRUE(form->RealizeWindow());
    RECT r = ChildRect(button->handle);
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.top, 20);
    EXPECT_EQ(r.right, 74);
    EXPECT_EQ(r.bottom, 42);

    SetPosition(button, 30, 40);
    r = ChildRect(button->handle);
    EXPECT_EQ(r.left, 30);
    EXPECT_EQ(r.top, 40);
    RECT b = GetBounds(button);
    EXPECT_EQ(b.left, 30);
    EXPECT_EQ(b.top, 40);
    EXPECT_EQ(b.right, 94);
    EXPECT_EQ(b.bottom, 62);
}

TEST(Geometry, SetBoundsWithTheCurrentRectangleDoesNothing) {
    FormHolder form;
    SetClientSize(form, 200, 150);
    ASSERT_NE(form->handle, nullptr);
    const uint8_t positionSet = form->positionSet;
    uitest::MessageSpy spy(form->handle);
    SetBounds(form, GetBounds(form));
    spy.Detach();
    EXPECT_TRUE(spy.Only(WM_WINDOWPOSCHANGING).empty());
    EXPECT_EQ(form->positionSet, positionSet);

    // A changed top alone adds only the top bit.
    FormHolder other;
    RECT r = GetBounds(other);
    r.top += 5;
    r.bottom += 5;
    SetBounds(other, r);
    EXPECT_EQ(other->positionSet, PositionTopSet);
}

struct CenterCase {
    int width, height;
    int left, top;  // on a 1023 x 768 screen
};

// (screen - size) >> 1 rounds toward minus infinity: a division would give
// 0 rather than -1 for the oversized window.
const CenterCase kCenter[] = {
    {300, 200, 361, 284},
    {301, 201, 361, 283},
    {1023, 768, 0, 0},
    {1024, 769, -1, -1},
};

TEST(Geometry, CenteringOnTheScreenUsesAnArithmeticShift) {
    if (GetSystemMetrics(SM_CXSCREEN) != 1023 || GetSystemMetrics(SM_CYSCREEN) != 768)
        GTEST_SKIP() << "needs the 1023 x 768 screen of scripts/test-win64.sh";
    for (const CenterCase& c : kCenter) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
        FormHolder form;
        SetSize(form, c.width, c.height);
        EXPECT_EQ(CenterOnParent(form), form.get());
        ASSERT_NE(form->handle, nullptr);
        const SIZE size = WindowSize(form->handle);
        ASSERT_EQ(size.cx, c.width);
        ASSERT_EQ(size.cy, c.height);
        RECT r = ScreenRect(form->handle);
        EXPECT_EQ(r.left, c.left);
        EXPECT_EQ(r.top, c.top);
    }
}

TEST(Geometry, ControlIsCenteredInItsFormsClientArea) {
    FormHolder form;
    SetClientSize(form, 275, 205);
    Widget* button = MakeButton(form, ByteString("b"));  // 64 x 22
    CenterOnParent(button);
    ASSERT_NE(button->handle, nullptr);
    RECT r = ChildRect(button->handle);
    EXPECT_EQ(r.left, 105);  // (275 - 64) >> 1
    EXPECT_EQ(r.top, 91);    // (205 - 22) >> 1
}

struct HitCase {
    const char* where;
    int x, y;         // 0..1000 across the window rectangle, or -1/-2 for edges
    LRESULT resizable;
    LRESULT locked;
};

POINT HitPoint(const RECT& r, int x, int y) {
    auto pick = [](int lo, int hi, int v) {
        if (v == -1) return lo + 1;  // just inside the leading edge
        if (v == -2) return hi - 2;  // just inside the trailing edge
        return lo + (hi - lo) * v / 1000;
    };
    return POINT{pick(r.left, r.right, x), pick(r.top, r.bottom, y)};
}

const HitCase kHits[] = {
    {"left edge", -1, 500, HTLEFT, HTBORDER},
    {"right edge", -2, 500, HTRIGHT, HTBORDER},
    {"bottom edge", 500, -2, HTBOTTOM, HTBORDER},
    {"top edge", 500, -1, HTTOP, HTBORDER},
    {"bottom-right corner", -2, -2, HTBOTTOMRIGHT, HTBORDER},
    {"top-left corner", -1, -1, HTTOPLEFT, HTBORDER},
    {"client", 500, 600, HTCLIENT, HTCLIENT},
};

LRESULT HitTest(HWND window, POINT p) {
    return SendMessageA(window, WM_NCHITTEST, 0, MAKELPARAM(p.x, p.y));
}

TEST(Geometry, LockedFormAnswersFrameHitTestsWithBorder) {
    FormHolder form;
    SetPosition(form, 100, 100);
    SetClientSize(form, 275, 205);
    ASSERT_TRUE(CanResize(form));
    const RECT r = ScreenRect(form->handle);
    for (const HitCase& c : kHits) {
        SCOPED_TRACE(c.where);
        EXPECT_EQ(HitTest(form->handle, HitPoint(r, c.x, c.y)), c.resizable);
    }

    SetCanResize(form, false);
    EXPECT_FALSE(CanResize(form));
    EXPECT_EQ(form->style & WS_THICKFRAME, 0u);
    EXPECT_EQ(uitest::WindowStyle(form->handle) & WS_THICKFRAME, 0);

    // Without the sizing frame default processing may already answer
    // HTBORDER; put the frame back behind the layer's back so the answers
    // below come from the size-lock handler alone.
    SetWindowLongPtrA(form->handle, GWL_STYLE, uitest::WindowStyle(form->handle) | WS_THICKFRAME);
    SetWindowPos(form->handle, nullptr, 0, 0, 0, 0,
                 SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    const RECT locked = ScreenRect(form->handle);
    for (const HitCase& c : kHits) {
        SCOPED_TRACE(c.where);
        EXPECT_EQ(HitTest(form->handle, HitPoint(locked, c.x, c.y)), c.locked);
    }
}

TEST(Geometry, LockedFormPinsBothTrackSizes) {
    FormHolder form;
    SetClientSize(form, 275, 205);
    const SIZE size = WindowSize(form->handle);
    SetCanResize(form, false);
    EXPECT_EQ(form->fixedWidth, size.cx);
    EXPECT_EQ(form->fixedHeight, size.cy);

    // Default processing leaves a MINMAXINFO as the system filled it; the
    // lock writes both track sizes over whatever was there.
    MINMAXINFO info{};
    info.ptMinTrackSize = POINT{1, 2};
    info.ptMaxTrackSize = POINT{3001, 3002};
    SendMessageA(form->handle, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, size.cx);
    EXPECT_EQ(info.ptMinTrackSize.y, size.cy);
    EXPECT_EQ(info.ptMaxTrackSize.x, size.cx);
    EXPECT_EQ(info.ptMaxTrackSize.y, size.cy);

    // Default processing of WM_WINDOWPOSCHANGING holds an overlapped window
    // within its track sizes, so even a direct resize keeps the size.
    SetWindowPos(form->handle, nullptr, 0, 0, size.cx + 40, size.cy + 30,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    SIZE now = WindowSize(form->handle);
    EXPECT_EQ(now.cx, size.cx);
    EXPECT_EQ(now.cy, size.cy);

    // Unlocked again: the frame returns and the handler stands aside.
    SetCanResize(form, true);
    EXPECT_TRUE(CanResize(form));
    EXPECT_NE(uitest::WindowStyle(form->handle) & WS_THICKFRAME, 0);
    MINMAXINFO untouched{};
    untouched.ptMinTrackSize = POINT{1, 2};
    untouched.ptMaxTrackSize = POINT{3001, 3002};
    SendMessageA(form->handle, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&untouched));
    EXPECT_EQ(untouched.ptMinTrackSize.x, 1);
    EXPECT_EQ(untouched.ptMaxTrackSize.y, 3002);
    RECT r = ScreenRect(form->handle);
    EXPECT_EQ(HitTest(form->handle, HitPoint(r, -1, 500)), HTLEFT);
    SetWindowPos(form->handle, nullptr, 0, 0, size.cx + 40, size.cy + 30,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    now = WindowSize(form->handle);
    EXPECT_EQ(now.cx, size.cx + 40);
    EXPECT_EQ(now.cy, size.cy + 30);
}

}  // namespace
