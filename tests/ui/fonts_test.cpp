// Font tools on real windows: one HFONT shared by a form and its controls,
// the order of WM_SETFONT and DeleteObject when a font changes, face names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ui_test_support.h"

namespace {

using uitest::FormHolder;
using uitest::MessageSpy;
using uitest::WindowFont;

// A form with the program's font and one control of every kind.
struct FontForm {
    FormHolder form;
    std::vector<Widget*> controls;

    FontForm() {
        uitest::UseProgramFont(form);
        controls = {MakeButton(form, ByteString("OK")), MakeCheckBox(form, ByteString("Backup")),
                    MakeEdit(form, 0), MakeEdit(form, NoHorzScroll | MultiLine),
                    MakeProgressBar(form)};
    }
};

LOGFONTA Describe(HGDIOBJ font) {
    LOGFONTA lf{};
    GetObjectA(font, sizeof lf, &lf);
    return lf;
}

TEST(Fonts, EveryControlSharesTheFormsHfont) {
    FontForm f;
    ASSERT_TRUE(f.form->RealizeWindow());
    // A form is a DefWindowProc window, which does not keep the font it is
    // sent (WM_GETFONT answers null); the form's tool has the handle.
    HFONT formFont = static_cast<HFONT>(ToolHandle(GetFont(f.form)));
    ASSERT_NE(formFont, nullptr);
    EXPECT_EQ(f.form->font->gdiHandle, formFont) << "the form's tool owns it";
    EXPECT_EQ(GetObjectType(formFont), static_cast<DWORD>(OBJ_FONT));

    LOGFONTA lf = Describe(formFont);
    EXPECT_EQ(lf.lfHeight, -12);
    EXPECT_EQ(lf.lfCharSet, 0);
    EXPECT_STREQ(lf.lfFaceName, "Arial");

    for (Widget* c : f.controls) {
        SCOPED_TRACE(c->className);
        EXPECT_EQ(WindowFont(c->handle), formFont);
        // The child's tool only borrows the parent's handle.
        EXPECT_EQ(c->font->gdiHandle, nullptr);
        EXPECT_EQ(c->font->parentTool, f.form->font);
    }
    // The program's font colour is black, and controls take theirs from it.
    EXPECT_EQ(f.form->textColor, 0u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(f.controls[i]->textColor, 0u);
}

TEST(Fonts, DestroyingAControlLeavesTheSharedFontAlive) {
    FontForm f;
    ASSERT_TRUE(f.form->RealizeWindow());
    HFONT shared = WindowFont(f.controls[0]->handle);
    ASSERT_EQ(shared, ToolHandle(GetFont(f.form)));
    Release(f.controls[0]);  // the button, and its borrowing font tool
    EXPECT_EQ(GetObjectType(shared), static_cast<DWORD>(OBJ_FONT));
    EXPECT_EQ(WindowFont(f.controls[1]->handle), shared);
}

TEST(Fonts, HeightChangeSendsTheNewFontBeforeDeletingTheOld) {
    FontForm f;
    ASSERT_TRUE(f.form->RealizeWindow());
    HFONT oldFont = static_cast<HFONT>(ToolHandle(GetFont(f.form)));
    ASSERT_EQ(GetObjectType(oldFont), static_cast<DWORD>(OBJ_FONT));

    MessageSpy spy(f.form->handle);
    std::vector<DWORD> oldTypeAtSetFont;
    spy.before = [&](const uitest::Seen& s) {
        if (s.message == WM_SETFONT) oldTypeAtSetFont.push_back(GetObjectType(oldFont));
    };
    SetFontHeight(GetFont(f.form), -16);
    spy.Detach();

    // The form hears of the change twice: once while the old object still
    // exists and once after it is deleted; both times the new font is sent.
    auto setFonts = spy.Only(WM_SETFONT);
    ASSERT_EQ(setFonts.size(), 2u);
    HFONT sent = reinterpret_cast<HFONT>(setFonts[0].wParam);
    EXPECT_NE(sent, oldFont);
    EXPECT_EQ(reinterpret_cast<HFONT>(setFonts[1].wParam), sent);
    EXPECT_NE(setFonts[0].lParam, 0) << "non-zero lParam asks for a redraw";
    EXPECT_EQ(Describe(sent).lfHeight, -16);
    EXPECT_EQ(oldTypeAtSetFont, (std::vector<DWORD>{static_cast<DWORD>(OBJ_FONT), 0u}))
        << "the new font goes out before the old one is deleted";
    EXPECT_EQ(ToolHandle(GetFont(f.form)), sent);
    EXPECT_EQ(GetObjectType(sent), static_cast<DWORD>(OBJ_FONT));
    EXPECT_EQ(GetObjectType(oldFont), 0u) << "and deleted afterwards";
}

// The controls borrowed the form's old HFONT, which the change deletes. A
// control left holding it would paint with a deleted (and reusable) GDI
// handle; whatever font it ends up with must be a live one.
TEST(Fonts, ControlsNeverKeepADeletedFontAfterTheFormsFontChanges) {
    FontForm f;
    ASSERT_TRUE(f.form->RealizeWindow());
    HFONT oldFont = WindowFont(f.controls[0]->handle);
    ASSERT_EQ(oldFont, ToolHandle(GetFont(f.form)));
    SetFontHeight(GetFont(f.form), -16);
    ASSERT_EQ(GetObjectType(oldFont), 0u) << "the form's old font is deleted";
    for (Widget* c : f.controls) {
        SCOPED_TRACE(c->className);
        HFONT used = WindowFont(c->handle);
        EXPECT_NE(used, oldFont);
        EXPECT_EQ(GetObjectType(used), static_cast<DWORD>(OBJ_FONT));
    }
}

TEST(Fonts, SettingTheCurrentFaceNameKeepsTheHandle) {
    FormHolder form;
    uitest::UseProgramFont(form);
    ASSERT_TRUE(form->RealizeWindow());
    GdiTool* font = GetFont(form);
    HGDIOBJ before = ToolHandle(font);

    MessageSpy spy(form->handle);
    SetFaceName(font, ByteString("Arial"));
    SetFontHeight(font, -12);
    SetFontCharset(font, 0);
    SetToolColor(font, 0);
    spy.Detach();

    EXPECT_EQ(font->gdiHandle, before);
    EXPECT_EQ(ToolHandle(font), before);
    EXPECT_EQ(GetObjectType(before), static_cast<DWORD>(OBJ_FONT));
    EXPECT_TRUE(spy.Only(WM_SETFONT).empty()) << "an unchanged font is not re-applied";

    // A different name does drop it.
    SetFaceName(font, ByteString("Courier New"));
    EXPECT_NE(ToolHandle(font), before);
    EXPECT_STREQ(Describe(ToolHandle(font)).lfFaceName, "Courier New");
}

struct FaceCase {
    std::string set;
    std::string stored;
};

const std::string k40 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn";

const FaceCase kFaces[] = {
    {"Arial", "Arial"},
    {k40, k40.substr(0, 31)},
    {k40.substr(0, 31), k40.substr(0, 31)},
    {k40.substr(0, 32), k40.substr(0, 31)},
    {"", ""},
};

TEST(Fonts, FaceNamesAreStoredTruncatedTo31Characters) {
    for (const FaceCase& c : kFaces) {
        SCOPED_TRACE(c.set);
        GdiTool* font = NewFont();
        // Start from a long name so a short one must clear what follows it.
        SetFaceName(font, ByteString(k40.c_str()));
        SetFaceName(font, ByteString(c.set.c_str()));
        const char* face = font->data.logFont.lfFaceName;
        EXPECT_EQ(std::string(face), c.stored);
        for (size_t i = c.stored.size(); i < LF_FACESIZE; ++i)
            EXPECT_EQ(face[i], 0) << "byte " << i;
        Release(font);
    }
}

TEST(Fonts, ToolsWithEqualDataAreEqualByteForByte) {
    // Sharing a parent's handle rests on a 64-byte comparison; leftovers of
    // an earlier, longer face name would make equal fonts unequal.
    GdiTool* a = NewFont();
    GdiTool* b = NewFont();
    SetFaceName(a, ByteString(k40.c_str()));
    SetFaceName(a, ByteString("Arial"));
    SetFaceName(b, ByteString("Arial"));
    EXPECT_EQ(std::memcmp(&a->data, &b->data, sizeof(ToolData)), 0);
    Release(a);
    Release(b);
}

TEST(Fonts, NewFontStartsFromTheDefaults) {
    GdiTool* font = NewFont();
    EXPECT_EQ(font->kind, FontToolKind);
    EXPECT_EQ(font->data.toolColor, ColorWindowText);
    EXPECT_EQ(font->data.logFont.lfHeight, 0);
    EXPECT_EQ(font->data.logFont.lfCharSet, DEFAULT_CHARSET);
    EXPECT_STREQ(font->data.logFont.lfFaceName, "MS Sans Serif");
    EXPECT_EQ(font->gdiHandle, nullptr) << "made when first needed";
    HGDIOBJ h = ToolHandle(font);
    EXPECT_EQ(GetObjectType(h), static_cast<DWORD>(OBJ_FONT));
    Release(font);
    EXPECT_EQ(GetObjectType(h), 0u) << "a tool deletes its own handle";
}

TEST(Fonts, FontColourFollowsTheSystemColour) {
    GdiTool* font = NewFont();  // COLOR_WINDOWTEXT
    ToolHandle(font);
    const COLORREF changed = RGB(12, 34, 56) == GetSysColor(COLOR_WINDOWTEXT) ? RGB(1, 2, 3)
                                                                            : RGB(12, 34, 56);
    {
        uitest::ScopedSysColor scope(COLOR_WINDOWTEXT, changed);
        ToolHandle(font);
        EXPECT_EQ(font->madeRgb, changed) << "the handle is remade for the new colour";
    }
    ToolHandle(font);
    EXPECT_EQ(font->madeRgb, GetSysColor(COLOR_WINDOWTEXT));
    Release(font);
}

}  // namespace
