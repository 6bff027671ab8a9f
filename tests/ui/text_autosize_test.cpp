// Text read back from real windows, auto-size measured in the control's own
// font, and text measurement that gives its device context back.
#include <gtest/gtest.h>

#include <string>

#include "ui/draw_surface.h"
#include "ui_test_support.h"

namespace {

// Bytes in this process's ANSI code page as UTF-8, the form every text of
// the layer takes.
std::string Utf8FromAnsi(const std::string& bytes) {
    if (bytes.empty()) return bytes;
    std::wstring wide(bytes.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), &wide[0], int(wide.size())));
    std::string utf8(wide.size() * 3, '\0');
    utf8.resize(WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), &utf8[0], int(utf8.size()), nullptr,
                                    nullptr));
    return utf8;
}

using uitest::ExtentInFont;
using uitest::FormHolder;
using uitest::Str;
using uitest::WindowFont;
using uitest::WindowSize;

void Type(HWND window, const std::string& text) {
    for (unsigned char ch : text) SendMessageA(window, WM_CHAR, ch, 1);
}

struct TypedCase {
    const char* name;
    std::string typed;   // sent as WM_CHAR, one per byte
    std::string pasted;  // then appended with EM_REPLACESEL
};

const TypedCase kTyped[] = {
    {"nothing", "", ""},
    {"one character", "a", ""},
    {"a path", "C:\\games\\rom.bin", ""},
    {"code page 1252 byte", "caf\xE9", ""},
    {"longer than a small buffer", "", std::string(700, 'x') + "end"},
};

TEST(Text, GetTextReturnsWhatTheUserTyped) {
    for (const TypedCase& c : kTyped) {
        SCOPED_TRACE(c.name);
        FormHolder form;
        Widget* edit = MakeEdit(form, 0);
        ASSERT_TRUE(form->RealizeWindow());
        Type(edit->handle, c.typed);
        if (!c.pasted.empty())
            SendMessageA(edit->handle, EM_REPLACESEL, FALSE,
                         reinterpret_cast<LPARAM>(c.pasted.c_str()));
        // Typed as ANSI characters, read back as UTF-8.
        const std::string expected = Utf8FromAnsi(c.typed + c.pasted);
        EXPECT_TRUE(edit->text.Empty()) << "the program never set the text";
        ByteString got = GetText(edit);
        EXPECT_EQ(got.Length(), expected.size());
        EXPECT_EQ(Str(got), expected);
    }
}

TEST(Text, GetTextFollowsTextReplacedBehindTheLayersBack) {
    FormHolder form;
    Widget* edit = MakeEdit(form, NoHorzScroll | MultiLine);
    SetText(edit, ByteString("first"));
    ASSERT_TRUE(form->RealizeWindow());
    EXPECT_EQ(uitest::WindowText(edit->handle), "first") << "stored text is the creation text";

    SendMessageA(edit->handle, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("line one\r\nline two"));
    EXPECT_EQ(Str(GetText(edit)), "line one\r\nline two");
    SendMessageA(edit->handle, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
    ByteString empty = GetText(edit);
    EXPECT_EQ(empty.Length(), 0u);
    EXPECT_STREQ(empty.CStr(), "");
}

TEST(Text, TextSetBeforeTheWindowReadsBackAndIsApplied) {
    FormHolder form("Caption one");
    EXPECT_EQ(Str(GetText(form)), "Caption one");
    Widget* button = MakeButton(form, ByteString("Browse..."));
    EXPECT_EQ(Str(GetText(button)), "Browse...");
    ASSERT_TRUE(form->RealizeWindow());
    EXPECT_EQ(uitest::WindowText(form->handle), "Caption one");
    EXPECT_EQ(uitest::WindowText(button->handle), "Browse...");
    SetText(button, ByteString("Go"));
    EXPECT_EQ(uitest::WindowText(button->handle), "Go");
}

// The program's users run code page 936, where a character takes one or
// two bytes and GetWindowTextLengthA may answer more than the text holds.
// Runs for real as ui_tests_cp936 (LC_ALL=zh_CN.UTF-8); skipped elsewhere.
struct Cp936Case {
    const char* name;
    std::string bytes;  // code page 936
};

const Cp936Case kCp936[] = {
    {"two characters", "\xD6\xD0\xCE\xC4"},  // 中文
    {"path", "C:\\\xD3\xCE\xCF\xB7\\rom.bin"},  // C:\游戏\rom.bin
    {"mixed single and double bytes", "a\xD6\xD0" "b\xCE\xC4" "c"},
};

TEST(Text, CodePage936TextReadsBackWithItsExactLength) {
    if (GetACP() != 936) GTEST_SKIP() << "needs code page 936: run as ui_tests_cp936";
    for (const Cp936Case& c : kCp936) {
        SCOPED_TRACE(c.name);
        FormHolder form;
        Widget* edit = MakeEdit(form, 0);
        ASSERT_TRUE(form->RealizeWindow());
        SendMessageA(edit->handle, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(c.bytes.c_str()));
        ByteString got = GetText(edit);
        const std::string utf8 = Utf8FromAnsi(c.bytes);
        EXPECT_EQ(got.Length(), utf8.size()) << "no trailing zeros counted";
        EXPECT_EQ(Str(got), utf8);
        EXPECT_EQ(Str(GetText(edit)), utf8) << "and again from the stored copy";
    }
}

TEST(AutoSize, CodePage936CaptionIsMeasuredLikeTheSystemDoes) {
    if (GetACP() != 936) GTEST_SKIP() << "needs code page 936: run as ui_tests_cp936";
    FormHolder form;
    uitest::UseProgramFont(form);
    const std::string caption = "\xB1\xB8\xB7\xDD";  // 备份
    Widget* box = MakeCheckBox(form, ByteString(Utf8FromAnsi(caption).c_str()));
    SetAutoSize(box, true);
    ASSERT_NE(box->handle, nullptr);
    const SIZE text = ExtentInFont(WindowFont(box->handle), caption);
    ASSERT_GT(text.cx, ExtentInFont(WindowFont(box->handle), "\xB1\xB8").cx)
        << "two characters measure wider than one";
    const SIZE s = WindowSize(box->handle);
    EXPECT_EQ(s.cx, text.cx + 24);
    EXPECT_EQ(s.cy, text.cy + 6);
}

enum Kind { CheckBox, PushButton, Edit };

struct AutoSizeCase {
    const char* name;
    Kind kind;
    std::string text;
    int extraX, extraY;
};

const AutoSizeCase kAutoSize[] = {
    {"check box", CheckBox, "Backup the target file", 24, 6},
    {"check box, one letter", CheckBox, "W", 24, 6},
    {"check box, CJK-free wide text", CheckBox, "WWWWWWWWWWWWWWWWWWWW", 24, 6},
    {"push button", PushButton, "Browse...", 14, 6},
    {"edit", Edit, "some text", 0, 6},
};

Widget* MakeKind(Widget* form, Kind kind, const std::string& text) {
    switch (kind) {
    case CheckBox: return MakeCheckBox(form, ByteString(text.c_str()));
    case PushButton: return MakeButton(form, ByteString(text.c_str()));
    case Edit: {
        Widget* e = MakeEdit(form, 0);
        SetText(e, ByteString(text.c_str()));
        return e;
    }
    }
    return nullptr;
}

TEST(AutoSize, IsTextExtentPlusTheKindsExtras) {
    for (const AutoSizeCase& c : kAutoSize) {
        SCOPED_TRACE(c.name);
        FormHolder form;
        uitest::UseProgramFont(form);
        Widget* w = MakeKind(form, c.kind, c.text);
        EXPECT_EQ(SetAutoSize(w, true), w);
        ASSERT_NE(w->handle, nullptr) << "measuring text needs the window";
        const SIZE text = ExtentInFont(WindowFont(w->handle), c.text);
        ASSERT_GT(text.cx, 0);
        const SIZE s = WindowSize(w->handle);
        EXPECT_EQ(s.cx, text.cx + c.extraX);
        EXPECT_EQ(s.cy, text.cy + c.extraY);
    }
}

TEST(AutoSize, EmptyCheckBoxIsOnlyTheExtrasThenFollowsItsCaption) {
    FormHolder form;
    uitest::UseProgramFont(form);
    Widget* box = MakeCheckBox(form, ByteString(""));
    SetAutoSize(box, true);
    EXPECT_EQ(GetWidth(box), 24);
    EXPECT_EQ(GetHeight(box), 6);
    ASSERT_TRUE(form->RealizeWindow());
    SIZE s = WindowSize(box->handle);
    EXPECT_EQ(s.cx, 24);
    EXPECT_EQ(s.cy, 6);

    SetText(box, ByteString("Make a backup"));
    const SIZE text = ExtentInFont(WindowFont(box->handle), "Make a backup");
    s = WindowSize(box->handle);
    EXPECT_EQ(s.cx, text.cx + 24);
    EXPECT_EQ(s.cy, text.cy + 6);

    // Switched off, a new caption leaves the size alone.
    SetAutoSize(box, false);
    SetText(box, ByteString("A much longer caption than before"));
    SIZE after = WindowSize(box->handle);
    EXPECT_EQ(after.cx, s.cx);
    EXPECT_EQ(after.cy, s.cy);
}

TEST(AutoSize, MeasuresInTheControlsOwnFont) {
    FormHolder form;
    uitest::UseProgramFont(form);
    const std::string caption = "Backup the target file";
    Widget* box = MakeCheckBox(form, ByteString(Utf8FromAnsi(caption).c_str()));
    SetAutoSize(box, true);
    const SIZE small = ExtentInFont(WindowFont(form->handle), caption);

    SetFontHeight(GetFont(box), -24);
    HFONT own = WindowFont(box->handle);
    ASSERT_NE(own, WindowFont(form->handle)) << "the control now has a font of its own";
    const SIZE big = ExtentInFont(own, caption);
    ASSERT_GT(big.cx, small.cx) << "the two fonts must measure differently for this test";
    const SIZE s = WindowSize(box->handle);
    EXPECT_EQ(s.cx, big.cx + 24);
    EXPECT_EQ(s.cy, big.cy + 6);
}

TEST(AutoSize, ItalicFontMeasuresOneTrailingSpace) {
    FormHolder form;
    uitest::UseProgramFont(form);
    Widget* box = MakeCheckBox(form, ByteString("Slanted"));
    GdiTool* font = GetFont(box);
    font->data.logFont.lfItalic = 1;
    ToolChanged(font);  // applies the font, which runs auto-size
    SetAutoSize(box, true);
    HFONT italic = WindowFont(box->handle);
    ASSERT_NE(italic, nullptr);
    LOGFONTA lf{};
    GetObjectA(italic, sizeof lf, &lf);
    ASSERT_NE(lf.lfItalic, 0);
    const SIZE withSpace = ExtentInFont(italic, "Slanted ");
    ASSERT_GT(withSpace.cx, ExtentInFont(italic, "Slanted").cx);
    EXPECT_EQ(WindowSize(box->handle).cx, withSpace.cx + 24);
}

TEST(MeasureText, GivesTheWindowDcBackAndMeasuresInTheWidgetsFont) {
    FormHolder form;
    uitest::UseProgramFont(form);
    Widget* button = MakeButton(form, ByteString("b"));
    ASSERT_TRUE(form->RealizeWindow());
    DrawSurface* surface = GetSurface(button);
    ASSERT_NE(surface, nullptr);
    EXPECT_EQ(GetSurface(button), surface) << "made once, then kept";

    for (const char* text : {"Hello", "W", "A longer line of text"}) {
        SCOPED_TRACE(text);
        const SIZE m = MeasureText(surface, ByteString(text));
        EXPECT_EQ(surface->dc, nullptr);
        EXPECT_EQ(surface->state & SurfaceHasDC, 0);
        const SIZE ref = ExtentInFont(WindowFont(button->handle), text);
        EXPECT_EQ(m.cx, ref.cx);
        EXPECT_EQ(m.cy, ref.cy);
    }
}

// Measuring on a Widget without a window makes the window, and applying the
// font to the new window throws the Widget's surface away: the one being
// measured on. The measurement must finish on it safely and still give its
// DC back. The test holds its own reference to look at it afterwards.
TEST(MeasureText, MakesTheWindowWhenNeededAndStillLetsGo) {
    FormHolder form;
    uitest::UseProgramFont(form);
    Widget* edit = MakeEdit(form, 0);
    DrawSurface* surface = GetSurface(edit);
    AddRef(surface);
    const SIZE m = MeasureText(surface, ByteString("abc"));
    ASSERT_NE(edit->handle, nullptr) << "the window-DC provider asks for the window";
    EXPECT_EQ(surface->dc, nullptr);
    EXPECT_EQ(surface->state & SurfaceHasDC, 0);
    EXPECT_EQ(m.cx, ExtentInFont(WindowFont(edit->handle), "abc").cx);
    EXPECT_EQ(m.cy, ExtentInFont(WindowFont(edit->handle), "abc").cy);
    Release(surface);
}

TEST(MeasureText, WindowlessWidgetsSurfaceSurvivesItsOwnMeasurement) {
    // The same path without a reference of the test's. Were the surface
    // freed in the middle, the rest of the measurement would run on a dead
    // record whose font was already cleared: the width would come out in
    // the DC's stock font instead of Arial.
    for (int i = 0; i < 3; ++i) {
        FormHolder form;
        uitest::UseProgramFont(form);
        Widget* box = MakeCheckBox(form, ByteString("x"));
        const SIZE m = MeasureText(GetSurface(box), ByteString("WWWWWWWWWW"));
        ASSERT_NE(box->handle, nullptr);
        EXPECT_EQ(m.cx, ExtentInFont(WindowFont(box->handle), "WWWWWWWWWW").cx);
        DrawSurface* fresh = GetSurface(box);
        EXPECT_EQ(fresh->dc, nullptr);
        EXPECT_EQ(MeasureText(fresh, ByteString("WWWWWWWWWW")).cx, m.cx);
    }
}

TEST(MeasureText, SurfaceWithoutProviderUsesAMemoryDcAndDropsIt) {
    FormHolder form;
    uitest::UseProgramFont(form);
    DrawSurface* surface = GetSurface(form);
    surface->dcProvider = DcProvider{nullptr, nullptr};
    const SIZE m = MeasureText(surface, ByteString("Hello"));
    EXPECT_EQ(surface->dc, nullptr);
    EXPECT_EQ(m.cx, ExtentInFont(static_cast<HFONT>(ToolHandle(GetFont(form))), "Hello").cx);
}

}  // namespace
