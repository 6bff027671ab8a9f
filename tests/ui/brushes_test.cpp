// Background brushes and colour answers: one brush per chain of equal
// colours, the colour messages a control answers for itself, the form's
// background paint, and system colours that change under a running program.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "ui/background.h"
#include "ui_test_support.h"

namespace {

using uitest::FormHolder;

COLORREF BrushColor(HBRUSH brush) {
    LOGBRUSH lb{};
    if (!GetObjectA(brush, sizeof lb, &lb)) return 0xFFFFFFFF;
    return lb.lbColor;
}

// A colour different from the given system colour, to see a change.
COLORREF Unlike(int index) {
    return GetSysColor(index) == RGB(10, 20, 30) ? RGB(30, 20, 10) : RGB(10, 20, 30);
}

TEST(Brushes, ControlWithTheFormsColourUsesTheFormsBrush) {
    FormHolder form;
    Widget* button = MakeButton(form, ByteString("OK"));
    Widget* edit = MakeEdit(form, 0);
    ASSERT_EQ(button->color, form->color);

    HBRUSH formBrush = GetBackgroundBrush(form);
    ASSERT_NE(formBrush, nullptr);
    EXPECT_EQ(BrushColor(formBrush), GetSysColor(COLOR_BTNFACE));
    EXPECT_EQ(GetBackgroundBrush(button), formBrush);
    EXPECT_EQ(GetBackgroundBrush(edit), formBrush);
    EXPECT_EQ(button->bkBrush, nullptr) << "the control made no brush of its own";

    SetColor(button, RGB(200, 100, 50));
    HBRUSH own = GetBackgroundBrush(button);
    EXPECT_NE(own, formBrush);
    EXPECT_EQ(BrushColor(own), RGB(200, 100, 50));
    EXPECT_EQ(button->bkBrush, own);
    EXPECT_EQ(GetBackgroundBrush(edit), formBrush) << "the edit still shares";
    EXPECT_EQ(GetObjectType(formBrush), static_cast<DWORD>(OBJ_BRUSH));

    // Destroying the control deletes its own brush, not the form's.
    Release(button);
    EXPECT_EQ(GetObjectType(own), 0u);
    EXPECT_EQ(GetObjectType(formBrush), static_cast<DWORD>(OBJ_BRUSH));
}

TEST(Brushes, SettingTheSameColourKeepsTheBrushAndPaintsNothing) {
    FormHolder form;
    Widget* edit = MakeEdit(form, 0);
    ASSERT_TRUE(form->RealizeWindow());
    uitest::Pump();
    RECT dirty{};
    ASSERT_FALSE(GetUpdateRect(edit->handle, &dirty, FALSE));

    SetColor(edit, ColorWindow);
    EXPECT_TRUE(GetUpdateRect(edit->handle, &dirty, FALSE)) << "a new colour repaints";
    HBRUSH brush = GetBackgroundBrush(edit);
    ASSERT_EQ(BrushColor(brush), GetSysColor(COLOR_WINDOW));

    uitest::Pump();
    ValidateRect(edit->handle, nullptr);
    SetColor(edit, ColorWindow);
    EXPECT_EQ(edit->bkBrush, brush);
    EXPECT_EQ(GetObjectType(brush), static_cast<DWORD>(OBJ_BRUSH));
    EXPECT_FALSE(GetUpdateRect(edit->handle, &dirty, FALSE)) << "no repaint for no change";

    // Back to the form's colour: the control's own brush goes.
    SetColor(edit, form->color);
    EXPECT_EQ(edit->bkBrush, nullptr);
    EXPECT_EQ(GetObjectType(brush), 0u);
    EXPECT_EQ(GetBackgroundBrush(edit), GetBackgroundBrush(form));
}

TEST(Brushes, ProgressBarIsToldItsColourEvenWhenUnchanged) {
    FormHolder form;
    Widget* bar = MakeProgressBar(form);
    ASSERT_NE(EnsureHandle(bar), nullptr);
    uitest::MessageSpy spy(bar->handle);
    SetColor(bar, ColorWindow);
    SetColor(bar, ColorWindow);
    auto sent = spy.Only(CCM_SETBKCOLOR);
    ASSERT_EQ(sent.size(), 2u);
    for (const uitest::Seen& s : sent) {
        EXPECT_EQ(s.wParam, 0u);
        EXPECT_EQ(static_cast<COLORREF>(s.lParam), GetSysColor(COLOR_WINDOW)) << "RGB, not 0x80000005";
    }
    // Other kinds have no colour message.
    Widget* edit = MakeEdit(form, 0);
    ASSERT_NE(EnsureHandle(edit), nullptr);
    uitest::MessageSpy editSpy(edit->handle);
    SetColor(edit, RGB(1, 2, 3));
    EXPECT_TRUE(editSpy.Only(CCM_SETBKCOLOR).empty());
}

struct ColorAnswerCase {
    const char* name;
    UINT message;           // what the system sends the parent
    EditOptions options;    // edit kind
    uint32_t color;         // SetColor value; 0: leave the form's colour
    int sysColor;           // expected background, as a system colour index, or -1
    COLORREF rgb;           // expected background when sysColor is -1
};

const ColorAnswerCase kAnswers[] = {
    {"edit, COLOR_WINDOW", WM_CTLCOLOREDIT, 0, ColorWindow, COLOR_WINDOW, 0},
    {"multi-line edit, RGB", WM_CTLCOLOREDIT, NoHorzScroll | MultiLine, RGB(0x12, 0x34, 0x56), -1,
     RGB(0x12, 0x34, 0x56)},
    // Read-only edits ask with WM_CTLCOLORSTATIC and still get their colour.
    {"read-only edit", WM_CTLCOLORSTATIC, ReadOnly, ColorWindow, COLOR_WINDOW, 0},
    {"edit with the form's colour", WM_CTLCOLOREDIT, 0, 0, COLOR_BTNFACE, 0},
};

// The system asks the parent; the form passes the request on to the control
// (0xBC00 + n), which sets up the DC and answers its brush.
TEST(Brushes, EditAnswersColourRequestsWithItsColour) {
    for (const ColorAnswerCase& c : kAnswers) {
        SCOPED_TRACE(c.name);
        FormHolder form;
        uitest::UseProgramFont(form);
        Widget* edit = MakeEdit(form, c.options);
        if (c.color) SetColor(edit, c.color);
        ASSERT_TRUE(form->RealizeWindow());
        const COLORREF expected = c.sysColor >= 0 ? GetSysColor(c.sysColor) : c.rgb;

        HDC dc = GetDC(edit->handle);
        SetBkColor(dc, RGB(1, 2, 3));
        SetTextColor(dc, RGB(4, 5, 6));
        SetBkMode(dc, TRANSPARENT);
        LRESULT answer = SendMessageA(form->handle, c.message, reinterpret_cast<WPARAM>(dc),
                                      reinterpret_cast<LPARAM>(edit->handle));
        EXPECT_EQ(GetBkColor(dc), expected);
        EXPECT_EQ(GetTextColor(dc), RGB(0, 0, 0)) << "the form's font colour, black";
        EXPECT_EQ(GetBkMode(dc), OPAQUE);
        ReleaseDC(edit->handle, dc);

        HBRUSH brush = reinterpret_cast<HBRUSH>(answer);
        EXPECT_EQ(brush, GetBackgroundBrush(edit));
        EXPECT_EQ(BrushColor(brush), expected);
        if (!c.color) EXPECT_EQ(brush, GetBackgroundBrush(form));
    }
}

TEST(Brushes, SystemColourChangeGivesANewBrush) {
    FormHolder form;  // COLOR_BTNFACE
    Widget* button = MakeButton(form, ByteString("OK"));
    HBRUSH before = GetBackgroundBrush(form);
    ASSERT_EQ(BrushColor(before), GetSysColor(COLOR_BTNFACE));
    const COLORREF changed = Unlike(COLOR_BTNFACE);
    {
        uitest::ScopedSysColor scope(COLOR_BTNFACE, changed);
        ASSERT_EQ(GetSysColor(COLOR_BTNFACE), changed);
        HBRUSH after = GetBackgroundBrush(form);
        EXPECT_EQ(BrushColor(after), changed);
        EXPECT_EQ(form->bkBrushRgb, changed);
        EXPECT_EQ(GetBackgroundBrush(button), after);
    }
    EXPECT_EQ(BrushColor(GetBackgroundBrush(form)), GetSysColor(COLOR_BTNFACE))
        << "and back after the colour is restored";
}

TEST(Brushes, FormPaintsItsBackgroundInItsColour) {
    FormHolder form;
    SetColor(form, RGB(0x21, 0x43, 0x65));
    SetClientSize(form, 120, 80);
    ASSERT_NE(form->handle, nullptr);

    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 120, 80);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(dc, bitmap);
    RECT all{0, 0, 120, 80};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));

    SendMessageA(form->handle, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    EXPECT_EQ(GetPixel(dc, 0, 0), RGB(0x21, 0x43, 0x65));
    EXPECT_EQ(GetPixel(dc, 119, 79), RGB(0x21, 0x43, 0x65));
    EXPECT_EQ(GetPixel(dc, 60, 40), RGB(0x21, 0x43, 0x65));

    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
}

}  // namespace
