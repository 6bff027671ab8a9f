// Widgets and their windows: lazy creation, the "obj_" classes that take
// over system classes, placement at creation, re-parenting and icons.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "ui_test_support.h"

#include <commctrl.h>  // after <windows.h>

namespace {

using uitest::FormHolder;

std::string ClassOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

RECT RectInParent(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// Lazy creation ------------------------------------------------------------

TEST(LazyCreation, ConstructorsMakeNoWindow) {
    FormHolder form;
    Widget* button = MakeButton(form, ByteString("b"));
    EXPECT_EQ(form->handle, nullptr);
    EXPECT_EQ(button->handle, nullptr);
    EXPECT_EQ(ParentHandle(button, false), nullptr) << "asking without create makes nothing";
    EXPECT_EQ(form->handle, nullptr);
    EXPECT_NE(ParentHandle(button, true), nullptr);
    EXPECT_EQ(ParentHandle(button, true), form->handle);
    EXPECT_EQ(ParentHandle(form, true), nullptr) << "a form has no parent";
}

TEST(LazyCreation, HandleAskedForEarlyIsHiddenUntilTheFormIsRealized) {
    FormHolder form;
    Widget* early = MakeButton(form, ByteString("early"));
    Widget* late = MakeEdit(form, 0);

    HWND window = EnsureHandle(early);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(EnsureHandle(early), window) << "the second call returns the same window";
    ASSERT_NE(form->handle, nullptr) << "the parent's window is made first";
    EXPECT_EQ(GetParent(window), form->handle);
    EXPECT_TRUE(early->pendingShow);
    EXPECT_TRUE(form->pendingShow);
    EXPECT_FALSE(IsWindowVisible(form->handle));
    EXPECT_FALSE(IsWindowVisible(window));
    // Realizing the form's tree created its other children too, hidden
    // with it.
    ASSERT_NE(late->handle, nullptr);
    EXPECT_FALSE(IsWindowVisible(late->handle));

    ASSERT_TRUE(form->RealizeWindow());
    EXPECT_TRUE(IsWindowVisible(form->handle));
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_TRUE(IsWindowVisible(late->handle));
    EXPECT_FALSE(early->pendingShow);
    EXPECT_FALSE(form->pendingShow);
    EXPECT_EQ(early->handle, window) << "shown, not re-created";
}

TEST(LazyCreation, HidingClearsPendingShowSoTheFormStaysHidden) {
    FormHolder form;
    ASSERT_NE(EnsureHandle(form), nullptr);
    ApplyVisibility(form, false);
    EXPECT_FALSE(form->pendingShow);
    ASSERT_TRUE(form->RealizeWindow());
    EXPECT_FALSE(IsWindowVisible(form->handle));
    ApplyVisibility(form, true);
    EXPECT_TRUE(IsWindowVisible(form->handle));
    EXPECT_NE(form->style & WS_VISIBLE, 0u);
}

TEST(LazyCreation, ChildStyleWithoutParentWindowFails) {
    Widget* orphan = MakeChild(nullptr, "BUTTON", WS_CHILD | WS_VISIBLE, false, nullptr);
    ASSERT_NE(orphan, nullptr);
    EXPECT_FALSE(orphan->RealizeWindow());
    EXPECT_EQ(EnsureHandle(orphan), nullptr);
    EXPECT_EQ(orphan->handle, nullptr);
    EXPECT_EQ(creatingWidget, nullptr);
    Release(orphan);
}

// Window classes -----------------------------------------------------------

TEST(WindowClasses, FormsAndButtonsShareOneRegisteredClassEach) {
    FormHolder first;
    FormHolder second;
    Widget* a = MakeButton(first, ByteString("a"));
    Widget* b = MakeButton(second, ByteString("b"));
    Widget* check = MakeCheckBox(second, ByteString("c"));
    ASSERT_TRUE(first->RealizeWindow());
    ASSERT_TRUE(second->RealizeWindow());

    EXPECT_EQ(ClassOf(first->handle), "obj_Form");
    EXPECT_EQ(ClassOf(second->handle), "obj_Form");
    EXPECT_EQ(ClassOf(a->handle), "obj_BUTTON");
    EXPECT_EQ(ClassOf(check->handle), "obj_BUTTON");
    // One registration per name: a second RegisterClassA of the same name
    // would have failed and left the second window uncreated; the atoms
    // are the same class.
    EXPECT_EQ(GetClassWord(first->handle, GCW_ATOM), GetClassWord(second->handle, GCW_ATOM));
    EXPECT_EQ(GetClassWord(a->handle, GCW_ATOM), GetClassWord(b->handle, GCW_ATOM));
    EXPECT_NE(GetClassWord(a->handle, GCW_ATOM), GetClassWord(first->handle, GCW_ATOM));

    char name[64];
    RegisteredClassName(a, name);
    EXPECT_STREQ(name, "obj_BUTTON");
}

TEST(WindowClasses, RegisteredNameIsCutTo63Characters) {
    Widget* w = MakeWidget(nullptr);
    const std::string longName(80, 'x');
    w->className = longName.c_str();
    char name[64];
    memset(name, '#', sizeof name);
    RegisteredClassName(w, name);
    EXPECT_EQ(std::string(name), "obj_" + std::string(59, 'x'));
    w->className = nullptr;
    Release(w);
}

TEST(WindowClasses, FormClassHasDoubleClicksOnly) {
    FormHolder form;
    EXPECT_EQ(form->classStyle, static_cast<uint32_t>(CS_OWNDC | CS_DBLCLKS));
    ASSERT_TRUE(form->RealizeWindow());
    EXPECT_EQ(GetClassLongPtrA(form->handle, GCL_STYLE), CS_DBLCLKS);
    EXPECT_EQ(GetClassLongPtrA(form->handle, GCLP_HBRBACKGROUND), 0)
        << "forms paint their own background";
    // The layer's classes are Unicode classes: the W call gives their own
    // procedure (the A call would give a conversion thunk).
    EXPECT_TRUE(IsWindowUnicode(form->handle));
    EXPECT_EQ(GetClassLongPtrW(form->handle, GCLP_WNDPROC),
              reinterpret_cast<LONG_PTR>(&SharedWindowProc));
    EXPECT_EQ(form->baseWndProc, nullptr);
}

struct TakeOverCase {
    const char* systemClass;
    std::function<Widget*(Widget*)> make;
};

TEST(WindowClasses, SystemClassesAreTakenOverWithTheirProcedure) {
    InitCommonControlClasses(0xFF);
    const TakeOverCase cases[] = {
        {"BUTTON", [](Widget* f) { return MakeButton(f, ByteString("b")); }},
        {"EDIT", [](Widget* f) { return MakeEdit(f, 0); }},
        {PROGRESS_CLASSA, [](Widget* f) { return MakeProgressBar(f); }},
    };
    for (const TakeOverCase& c : cases) {
        SCOPED_TRACE(c.systemClass);
        // The wide procedure: the layer's windows are Unicode windows.
        WNDCLASSW system{};
        const std::wstring name(c.systemClass, c.systemClass + strlen(c.systemClass));
        ASSERT_TRUE(GetClassInfoW(nullptr, name.c_str(), &system));
        FormHolder form;
        Widget* control = c.make(form);
        ASSERT_TRUE(form->RealizeWindow());
        ASSERT_NE(control->handle, nullptr);
        EXPECT_EQ(control->baseWndProc, system.lpfnWndProc);
        EXPECT_TRUE(IsWindowUnicode(control->handle));
        EXPECT_EQ(GetClassLongPtrW(control->handle, GCLP_WNDPROC),
                  reinterpret_cast<LONG_PTR>(&SharedWindowProc));
        // The system procedure keeps its state in the window's extra bytes.
        EXPECT_EQ(GetClassLongPtrA(control->handle, GCL_CBWNDEXTRA), system.cbWndExtra);
        // CS_OWNDC, CS_CLASSDC, CS_PARENTDC and CS_GLOBALCLASS are dropped.
        EXPECT_EQ(static_cast<UINT>(GetClassLongPtrA(control->handle, GCL_STYLE)),
                  system.style & 0xFFFFBF1Fu);
    }
}

TEST(WindowClasses, DefaultProcessingReachesTheSystemButtonProcedure) {
    FormHolder form;
    Widget* check = MakeCheckBox(form, ByteString("c"));
    ASSERT_TRUE(form->RealizeWindow());
    // Only the system button procedure knows BM_SETCHECK/BM_GETCHECK;
    // DefWindowProcA would answer 0.
    SendMessageA(check->handle, BM_SETCHECK, BST_CHECKED, 0);
    EXPECT_EQ(SendMessageA(check->handle, BM_GETCHECK, 0, 0), BST_CHECKED);
    MessageRecord record{check->handle, BM_GETCHECK, 0, 0, 0, {0, 0}};
    EXPECT_EQ(DefaultProcessing(check, &record), BST_CHECKED);
    MessageRecord forForm{form->handle, WM_GETTEXTLENGTH, 0, 0, 0, {0, 0}};
    EXPECT_EQ(DefaultProcessing(form, &forForm), 6) << "DefWindowProcA for the form: \"uitest\"";
}

// Placement ----------------------------------------------------------------

struct FormPlacementCase {
    const char* name;
    uint8_t positionSet;
    RECT bounds;
    bool atBounds;       // created at bounds.left/top, else at the system's choice
    bool defaultWidth;   // width 0: the system's default width
};

TEST(Placement, FormsUseTheirPositionOnlyWhenOneWasSet) {
    // The references: where the system puts a window asked for
    // CW_USEDEFAULT everything, and how wide it makes one at (50, 60) asked
    // for CW_USEDEFAULT as width (the default width depends on x).
    auto systemRect = [](int x, int y) {
        HWND reference = CreateWindowExA(0, "STATIC", "", WS_OVERLAPPEDWINDOW, x, y,
                                         CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr,
                                         nullptr);
        RECT r{};
        GetWindowRect(reference, &r);
        DestroyWindow(reference);
        return r;
    };
    const RECT def = systemRect(CW_USEDEFAULT, CW_USEDEFAULT);
    const RECT defWidthAt50 = systemRect(50, 60);
    ASSERT_NE(def.left, 50);
    ASSERT_GT(defWidthAt50.right - defWidthAt50.left, 0);

    const FormPlacementCase cases[] = {
        {"never positioned", 0, {50, 60, 350, 260}, false, false},
        {"left set", PositionLeftSet, {50, 60, 350, 260}, true, false},
        {"top set", PositionTopSet, {50, 60, 350, 260}, true, false},
        {"both set", PositionLeftSet | PositionTopSet, {50, 60, 350, 260}, true, false},
        {"zero width", PositionLeftSet | PositionTopSet, {50, 60, 50, 260}, true, true},
    };
    for (const FormPlacementCase& c : cases) {
        SCOPED_TRACE(c.name);
        FormHolder form;
        form->bounds = c.bounds;
        form->positionSet = c.positionSet;
        ASSERT_TRUE(form->RealizeWindow());
        RECT r{};
        GetWindowRect(form->handle, &r);
        if (c.atBounds) {
            EXPECT_EQ(r.left, c.bounds.left);
            EXPECT_EQ(r.top, c.bounds.top);
        } else {
            EXPECT_EQ(r.left, def.left);
            EXPECT_EQ(r.top, def.top);
        }
        if (c.defaultWidth) {
            // CW_USEDEFAULT as width makes the system ignore the height too.
            EXPECT_EQ(r.right - r.left, defWidthAt50.right - defWidthAt50.left);
        } else {
            EXPECT_EQ(r.right - r.left, 300);
            EXPECT_EQ(r.bottom - r.top, 200);
        }
    }
}

TEST(Placement, SetPositionBeforeCreationPlacesTheForm) {
    FormHolder form;
    SetPosition(form, 192, 114);
    EXPECT_EQ(form->positionSet, PositionLeftSet | PositionTopSet);
    SetSize(form, 300, 200);
    ASSERT_TRUE(form->RealizeWindow());
    RECT r{};
    GetWindowRect(form->handle, &r);
    EXPECT_EQ(r.left, 192);
    EXPECT_EQ(r.top, 114);
}

struct ChildPlacementCase {
    const char* name;
    int32_t border;
    Margins margins;
    RECT expected;  // in the parent's client coordinates
};

TEST(Placement, NewControlSitsAtBorderPlusMarginsSized64) {
    const ChildPlacementCase cases[] = {
        {"defaults", 2, {0, 0, 0, 0}, {2, 2, 66, 66}},
        {"wider border", 5, {0, 0, 0, 0}, {5, 5, 69, 69}},
        {"margins", 2, {4, 9, 3, 7}, {5, 6, 69, 70}},  // top 4, left 3
        {"no border", 0, {0, 0, 0, 0}, {0, 0, 64, 64}},
    };
    for (const ChildPlacementCase& c : cases) {
        SCOPED_TRACE(c.name);
        FormHolder form;
        form->border = c.border;
        form->margins = c.margins;
        Widget* child = MakeChild(form, "BUTTON", WS_CHILD | WS_VISIBLE, false, nullptr);
        EXPECT_EQ(child->border, c.border) << "copied from the parent";
        EXPECT_EQ(child->bounds.left, c.expected.left);
        EXPECT_EQ(child->bounds.top, c.expected.top);
        ASSERT_TRUE(form->RealizeWindow());
        RECT r = RectInParent(child->handle);
        EXPECT_EQ(r.left, c.expected.left);
        EXPECT_EQ(r.top, c.expected.top);
        EXPECT_EQ(r.right, c.expected.right);
        EXPECT_EQ(r.bottom, c.expected.bottom);
    }
}

struct EdgeCase {
    bool parentChildEdge;
    bool edgeFlag;
    bool clientEdge;
    uint32_t style;    // from WS_CHILD | WS_BORDER
    uint32_t exStyle;
};

TEST(Placement, ClientEdgeReplacesTheBorderOnlyWhenParentAndFlagAgree) {
    const EdgeCase cases[] = {
        {true, true, true, WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0x10200},
        {true, false, false, WS_CHILD | WS_BORDER | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0x10000},
        {false, true, false, WS_CHILD | WS_BORDER | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0x10000},
        {false, false, false, WS_CHILD | WS_BORDER | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0x10000},
    };
    for (const EdgeCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "parent childEdge " << c.parentChildEdge << ", flag "
                                        << c.edgeFlag);
        FormHolder form;
        form->childEdge = c.parentChildEdge;
        Widget* child = MakeChild(form, "EDIT", WS_CHILD | WS_BORDER, c.edgeFlag, nullptr);
        EXPECT_EQ(child->clientEdge, c.clientEdge);
        EXPECT_EQ(child->childEdge, c.parentChildEdge);
        EXPECT_EQ(child->style, c.style);
        EXPECT_EQ(child->exStyle, c.exStyle);
    }
}

TEST(Placement, ChildInheritsColoursAndTheFormsTabStopBookkeeping) {
    FormHolder form;
    form->color = 0x00123456;
    form->textColor = 0x00654321;
    Widget* plain = MakeChild(form, "BUTTON", WS_CHILD, false, nullptr);
    Widget* stop = MakeChild(form, "BUTTON", WS_CHILD | WS_TABSTOP, false, nullptr);
    Widget* stop2 = MakeChild(form, "BUTTON", WS_CHILD | WS_TABSTOP, false, nullptr);
    EXPECT_EQ(plain->color, 0x00123456u);
    EXPECT_EQ(plain->textColor, 0x00654321u);
    EXPECT_FALSE(plain->tabStop);
    EXPECT_TRUE(stop->tabStop);
    EXPECT_TRUE(stop2->tabStop);
    EXPECT_EQ(form->currentControl, stop);
    EXPECT_TRUE(plain->isControl);
    EXPECT_FALSE(form->isControl);
    ASSERT_EQ(form->children->count, 3);
    EXPECT_EQ(ItemAt(form->children, 0), plain);
    EXPECT_EQ(ItemAt(form->children, 2), stop2);
}

// Re-parenting -------------------------------------------------------------

TEST(Reparenting, MovesListsOwnershipAndTheWindow) {
    FormHolder from;
    FormHolder to;
    Widget* button = MakeButton(from, ByteString("b"));
    ASSERT_TRUE(from->RealizeWindow());
    ASSERT_NE(button->handle, nullptr);

    Reparent(button, to);
    EXPECT_EQ(button->parent, to.get());
    EXPECT_EQ(IndexOf(from->children, button), -1);
    EXPECT_EQ(from->autoFree, nullptr) << "its only registered object left";
    EXPECT_EQ(IndexOf(to->children, button), 0);
    ASSERT_NE(to->autoFree, nullptr);
    EXPECT_GE(IndexOf(to->autoFree, button), 0);
    ASSERT_NE(to->handle, nullptr) << "the new parent's window was made for SetParent";
    EXPECT_EQ(GetParent(button->handle), to->handle);

    int destroyed = 0;
    button->OnDestroy = EventHandler{[](void* c, RefObject*) { ++*static_cast<int*>(c); },
                                     &destroyed};
    from.Reset();
    EXPECT_EQ(destroyed, 0) << "the old parent no longer owns it";
    EXPECT_TRUE(IsWindow(button->handle));
    to.Reset();
    EXPECT_EQ(destroyed, 1);
}

TEST(Reparenting, SameParentChangesNothing) {
    FormHolder form;
    Widget* button = MakeButton(form, ByteString("b"));
    PtrList* owned = form->autoFree;
    ASSERT_NE(owned, nullptr);
    const int32_t count = owned->count;
    Reparent(button, form);
    EXPECT_EQ(form->autoFree, owned);
    EXPECT_EQ(owned->count, count);
    EXPECT_EQ(form->children->count, 1);
}

// Icons --------------------------------------------------------------------

HICON MakeIcon() {
    BYTE andMask[32 * 4];
    BYTE xorMask[32 * 4];
    memset(andMask, 0xFF, sizeof andMask);
    memset(xorMask, 0x00, sizeof xorMask);
    return CreateIcon(nullptr, 32, 32, 1, 1, andMask, xorMask);
}

class IconTest : public ::testing::Test {
protected:
    void SetUp() override { mainWidget = nullptr; }
    void TearDown() override { mainWidget = nullptr; }
};

TEST_F(IconTest, NoIconMarkerAndAMissingResourceGiveNone) {
    FormHolder form;
    form->icon = NoIcon;
    EXPECT_EQ(WindowIcon(form), nullptr);
    FormHolder plain;
    // The test program carries no "MAINICON" resource.
    EXPECT_EQ(WindowIcon(plain), nullptr);
    EXPECT_EQ(plain->icon, nullptr);
}

TEST_F(IconTest, SecondFormGetsItsOwnCopyOfTheMainIcon) {
    FormHolder mainForm;
    FormHolder second;
    HICON icon = MakeIcon();
    ASSERT_NE(icon, nullptr);
    mainForm->icon = icon;  // owned by the main form from here on
    mainWidget = mainForm;
    EXPECT_EQ(WindowIcon(mainForm), icon);
    HICON copy = WindowIcon(second);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, icon) << "each form destroys the icon it holds";
    EXPECT_EQ(WindowIcon(second), copy) << "made once";

    ASSERT_TRUE(second->RealizeWindow());
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(second->handle, WM_GETICON, ICON_BIG, 0)), copy);

    FormHolder third;
    mainForm->icon = NoIcon;
    EXPECT_EQ(WindowIcon(third), nullptr) << "no main icon, no copy";
    mainForm->icon = icon;
    mainWidget = nullptr;
}

TEST(CommonControls, InitialisationRegistersTheClasses) {
    InitCommonControlClasses(0xFF);
    InitCommonControlClasses(0xFF);
    WNDCLASSA info{};
    EXPECT_TRUE(GetClassInfoA(nullptr, PROGRESS_CLASSA, &info));
    EXPECT_EQ(moduleInstance, GetModuleHandleA(nullptr)) << "the handle every class and window is made with";
}

// The defaults every Widget starts from.
TEST(WidgetDefaults, SetupFillsTheDocumentedValues) {
    Widget* w = MakeWidget(nullptr);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->classStyle, static_cast<uint32_t>(CS_OWNDC));
    EXPECT_EQ(w->style, 0x16CF0000u);
    EXPECT_EQ(w->exStyle, 0x10000u);
    EXPECT_TRUE(w->childEdge);
    EXPECT_TRUE(w->clientEdge);
    EXPECT_EQ(w->textColor, 8u);
    EXPECT_EQ(w->color, 0x8000000Fu);
    EXPECT_EQ(w->border, 2);
    EXPECT_EQ(w->messageProc, &DeclineMessage);
    ASSERT_NE(w->messageHandlers, nullptr);
    ASSERT_NE(w->children, nullptr);
    EXPECT_EQ(w->messageHandlers->count, 0);
    EXPECT_EQ(w->refCount, 0);
    EXPECT_EQ(w->handle, nullptr);
    Release(w);
}

TEST(WidgetDefaults, ConstructTakesTheParentsColour) {
    FormHolder form;
    form->color = 0x00ABCDEF;
    Widget* w = MakeWidget(form);
    EXPECT_EQ(w->color, 0x00ABCDEFu);
    EXPECT_EQ(w->parent, form.get());
    EXPECT_EQ(IndexOf(form->children, w), 0);
}

}  // namespace
