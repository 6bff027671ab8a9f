// The control kinds as the system sees them: window styles and sizes at
// creation, control ids, and which control a form starts with as current.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstring>
#include <functional>

#include "ui_test_support.h"

namespace {

using uitest::FormHolder;

struct KindCase {
    const char* kind;
    std::function<Widget*(Widget* form)> make;  // null: the form itself
    const char* className;
    uint32_t style;        // Widget::style, the CreateWindowExA argument
    uint32_t exStyle;      // Widget::exStyle
    LONG_PTR windowStyle;  // GWL_STYLE of the created window
    LONG_PTR windowExStyle;
    int width;             // initial outer size; 0: system default
    int height;
};

const KindCase kKinds[] = {
    // Every window with a caption and a sizing frame gets WS_EX_WINDOWEDGE
    // (0x100) from CreateWindowEx itself; the Widget never asks for it.
    {"form", nullptr, "Form", 0x16CF0000, 0x10000, 0x16CF0000, 0x10100, 0, 0},
    {"push button", [](Widget* f) { return MakeButton(f, ByteString("OK")); }, "BUTTON",
     0x56015000, 0x10000, 0x56015000, 0x10000, 64, 22},
    // The check box replaces the whole style, dropping the clip bits.
    {"check box", [](Widget* f) { return MakeCheckBox(f, ByteString("Backup")); }, "BUTTON",
     0x50014003, 0x10000, 0x50014003, 0x10000, 72, 22},
    // WS_BORDER gave way to WS_EX_CLIENTEDGE because forms have childEdge.
    {"edit, no options", [](Widget* f) { return MakeEdit(f, 0); }, "EDIT", 0x560100C0, 0x10200,
     0x560100C0, 0x10200, 100, 22},
    {"multi-line edit", [](Widget* f) { return MakeEdit(f, NoHorzScroll | MultiLine); }, "EDIT",
     0x56210044, 0x10200, 0x56210044, 0x10200, 200, 200},
    // The progress bar's own WM_CREATE takes WS_EX_CLIENTEDGE away: it
    // draws its own frame (a static edge unthemed, the theme's frame here),
    // as comctl32 does on Windows. The Widget still asked for the edge.
    {"progress bar", [](Widget* f) { return MakeProgressBar(f); }, PROGRESS_CLASSA, 0x56000000,
     0x10200, 0x56000000, 0x10000, 300, 20},
};

TEST(ControlStyles, EachKindIsCreatedWithItsStylesAndSize) {
    for (const KindCase& c : kKinds) {
        SCOPED_TRACE(c.kind);
        FormHolder form;
        Widget* w = c.make ? c.make(form) : form.get();
        ASSERT_NE(w, nullptr);
        EXPECT_STREQ(w->className, c.className);
        EXPECT_EQ(w->style, c.style);
        EXPECT_EQ(w->exStyle, c.exStyle);
        EXPECT_EQ(w->handle, nullptr) << "constructors only fill fields";

        ASSERT_TRUE(form->RealizeWindow());
        ASSERT_NE(w->handle, nullptr);
        EXPECT_EQ(w->style, c.style) << "realizing a visible tree keeps the stored style";
        EXPECT_EQ(uitest::WindowStyle(w->handle), c.windowStyle) << std::hex << c.windowStyle;
        EXPECT_EQ(uitest::WindowExStyle(w->handle), c.windowExStyle) << std::hex << c.windowExStyle;
        if (c.width) {
            SIZE s = uitest::WindowSize(w->handle);
            EXPECT_EQ(s.cx, c.width);
            EXPECT_EQ(s.cy, c.height);
            EXPECT_EQ(GetWidth(w), c.width);
            EXPECT_EQ(GetHeight(w), c.height);
        }
        char cls[64] = {};
        GetClassNameA(w->handle, cls, sizeof cls);
        EXPECT_EQ(std::string(cls), std::string("obj_") + c.className);
    }
}

TEST(ControlStyles, FormWithoutSizeGetsTheSystemDefault) {
    FormHolder form;
    ASSERT_TRUE(form->RealizeWindow());
    SIZE s = uitest::WindowSize(form->handle);
    // CW_USEDEFAULT: the system picks a size; it is never the 0 x 0 stored.
    EXPECT_GT(s.cx, 100);
    EXPECT_GT(s.cy, 100);
}

// A window made before the run loop through EnsureHandle is hidden: the
// Widget drops WS_VISIBLE from its stored style and the window is created
// without it, until RealizeWindow shows both again.
TEST(ControlStyles, HiddenCreationClearsVisibleInFieldAndWindowAlike) {
    FormHolder form;
    Widget* button = MakeButton(form, ByteString("OK"));
    ASSERT_NE(EnsureHandle(button), nullptr);
    EXPECT_EQ(button->style, 0x56015000u & ~WS_VISIBLE);
    EXPECT_EQ(uitest::WindowStyle(button->handle), 0x46015000);
    EXPECT_FALSE(IsWindowVisible(form->handle));

    ASSERT_TRUE(form->RealizeWindow());
    EXPECT_EQ(button->style, 0x56015000u);
    EXPECT_EQ(uitest::WindowStyle(button->handle), 0x56015000);
    EXPECT_TRUE(IsWindowVisible(button->handle));
}

struct OptionsCase {
    EditOptions options;
    uint32_t fromTable;  // StyleFromOptions(options, table, 11)
    uint32_t editStyle;  // Widget::style of MakeEdit(form, options)
};

// Absent NoHorzScroll / NoVertScroll add ES_AUTO?SCROLL and the scroll bar
// (0x003000C0); a single-line edit then drops the scroll bars again.
const OptionsCase kOptions[] = {
    {0, 0x003000C0, 0x560100C0},
    {NoHorzScroll, 0x00200040, 0x56010040},
    {NoVertScroll, 0x00100080, 0x56010080},
    {NoHorzScroll | NoVertScroll, 0x00000000, 0x56010000},
    {ForceLowerCase, 0x003000D0, 0x560100D0},
    {MultiLine, 0x003000C4, 0x563100C4},
    {KeepSelection, 0x003001C0, 0x560101C0},
    {OemConvert, 0x003004C0, 0x560104C0},
    {Password, 0x003000E0, 0x560100E0},
    {ReadOnly, 0x003008C0, 0x560108C0},
    {ForceUpperCase, 0x003000C8, 0x560100C8},
    {WantReturn, 0x003010C0, 0x560110C0},
    {1u << 10, 0x003000C0, 0x560100C0},  // the bit without a style
    {DigitsOnly, 0x003020C0, 0x560120C0},
    {NoHorzScroll | MultiLine, 0x00200044, 0x56210044},
    {NoHorzScroll | NoVertScroll | MultiLine | ReadOnly | WantReturn, 0x00001804, 0x56011804},
};

TEST(ControlStyles, EditOptionsGiveTheirStyleBits) {
    for (const OptionsCase& c : kOptions) {
        SCOPED_TRACE(testing::Message() << "options 0x" << std::hex << c.options);
        EXPECT_EQ(StyleFromOptions(c.options, EditOptionStyles, 11), c.fromTable);
        FormHolder form;
        Widget* edit = MakeEdit(form, c.options);
        EXPECT_EQ(edit->style, c.editStyle);
        EXPECT_EQ(edit->exStyle, 0x10200u);
    }
}

TEST(ControlStyles, StyleFromOptionsStopsAtTheHighestBit) {
    // Options above the highest index are not looked at: with index 1 only
    // the two scroll entries count, and ES_LOWERCASE (bit 2) is ignored.
    EXPECT_EQ(StyleFromOptions(ForceLowerCase, EditOptionStyles, 1), 0x003000C0u);
    EXPECT_EQ(StyleFromOptions(ForceLowerCase, EditOptionStyles, 2), 0x003000D0u);
}

TEST(ControlIds, CountUpAcrossFormsAndTheProgressBarSkipsOne) {
    FormHolder first;
    FormHolder second;
    const uint16_t start = nextControlId;
    Widget* a = MakeButton(first, ByteString("a"));
    Widget* bar = MakeProgressBar(first);
    Widget* b = MakeEdit(second, 0);
    Widget* c = MakeCheckBox(second, ByteString("c"));

    EXPECT_EQ(a->controlId, start);
    EXPECT_EQ(bar->controlId, 0u);
    EXPECT_EQ(b->controlId, static_cast<uint16_t>(start + 2)) << "the bar used up a value";
    EXPECT_EQ(c->controlId, static_cast<uint16_t>(start + 3));
    EXPECT_EQ(nextControlId, static_cast<uint16_t>(start + 4));
    EXPECT_EQ(first->controlId, 0u) << "forms take no id";

    // The id is the menu argument of CreateWindowExA: the window reports it.
    ASSERT_TRUE(first->RealizeWindow());
    ASSERT_TRUE(second->RealizeWindow());
    EXPECT_EQ(GetDlgCtrlID(a->handle), static_cast<int>(a->controlId));
    EXPECT_EQ(GetDlgCtrlID(bar->handle), 0);
    EXPECT_EQ(GetDlgCtrlID(c->handle), static_cast<int>(c->controlId));
}

TEST(ControlIds, TheFirstEverControlIs0x8000) {
    // Only meaningful in a process of its own (ctest runs each test alone);
    // when the whole suite shares one process the counter has moved on.
    if (nextControlId != 0x8000) GTEST_SKIP() << "other tests made controls in this process";
    FormHolder form;
    EXPECT_EQ(MakeButton(form, ByteString("x"))->controlId, 0x8000u);
    EXPECT_EQ(MakeButton(form, ByteString("y"))->controlId, 0x8001u);
}

struct CurrentCase {
    const char* name;
    const char* kinds;  // one letter per control in creation order: p e b c m
    int expected;       // index of the expected current control, -1: none
};

const CurrentCase kCurrent[] = {
    {"progress bar first", "peb", 1},
    {"button first", "beb", 0},
    {"check box first", "cb", 0},
    {"multi-line edit after bar", "pm", 1},
    {"no tab stops", "pp", -1},
    {"no controls", "", -1},
};

TEST(CurrentControl, IsTheFirstTabStopControl) {
    for (const CurrentCase& c : kCurrent) {
        SCOPED_TRACE(c.name);
        FormHolder form;
        std::vector<Widget*> made;
        for (const char* k = c.kinds; *k; ++k) {
            switch (*k) {
            case 'p': made.push_back(MakeProgressBar(form)); break;
            case 'e': made.push_back(MakeEdit(form, 0)); break;
            case 'b': made.push_back(MakeButton(form, ByteString("b"))); break;
            case 'c': made.push_back(MakeCheckBox(form, ByteString("c"))); break;
            case 'm': made.push_back(MakeEdit(form, NoHorzScroll | MultiLine)); break;
            }
        }
        Widget* expected = c.expected < 0 ? nullptr : made[c.expected];
        EXPECT_EQ(form->currentControl, expected);
        for (Widget* w : made) EXPECT_EQ(w->tabStop, (w->style & WS_TABSTOP) != 0);
    }
}

}  // namespace
