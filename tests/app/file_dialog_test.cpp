// FileDialog in-process: the record execute hands to the system (seen
// through a fake dialog call), the option table, the filter list and the
// multi-selection joining. The real dialog is driven in program_test.cpp.
#include <gtest/gtest.h>
#include <windows.h>
#include <commdlg.h>

#include <string>

#include "app/file_dialog.h"
#include "driver.h"
#include "ui/widget.h"

namespace {

// What the fake saw, and what it answers.
// The record is the wide one; its texts are noted as UTF-8.
struct Fake {
    int calls = 0;
    OPENFILENAMEW record = {};
    std::string title, initialDir;
    std::string filter;       // lpstrFilter up to its double NUL, NULs kept
    bool filterNull = false;
    std::string fileShown;    // lpstrFile as passed in
    bool defExtNull = false;
    std::string defExt;
    // Answer.
    BOOL result = TRUE;
    std::string reply;        // written into lpstrFile (may hold NULs)
    DWORD replyFilterIndex = 0;
    DWORD replyFlagsAdd = 0;
};
Fake* fake;

std::string Utf8(const WCHAR* text, size_t n) {
    return drive::ToCodePage(std::u16string(reinterpret_cast<const char16_t*>(text), n), CP_UTF8);
}
std::string Utf8(const WCHAR* text) { return text ? Utf8(text, wcslen(text)) : std::string(); }

BOOL WINAPI FakeDialog(LPOPENFILENAMEW record) {
    ++fake->calls;
    fake->record = *record;
    fake->title = Utf8(record->lpstrTitle);
    fake->initialDir = Utf8(record->lpstrInitialDir);
    fake->filterNull = record->lpstrFilter == nullptr;
    if (record->lpstrFilter) {
        const WCHAR* p = record->lpstrFilter;
        while (p[0] || p[1]) ++p;
        fake->filter = Utf8(record->lpstrFilter, p + 2 - record->lpstrFilter);
    }
    fake->fileShown = Utf8(record->lpstrFile);
    fake->defExtNull = record->lpstrDefExt == nullptr;
    if (record->lpstrDefExt) fake->defExt = Utf8(record->lpstrDefExt);
    if (fake->result) {
        const std::u16string reply = drive::FromUtf8(fake->reply);
        memcpy(record->lpstrFile, reply.data(), reply.size() * sizeof(WCHAR));
        record->nFilterIndex = fake->replyFilterIndex;
        record->Flags |= fake->replyFlagsAdd;
    }
    return fake->result;
}

BOOL WINAPI WrongDialog(LPOPENFILENAMEW) {
    ADD_FAILURE() << "the other dialog call was used";
    return FALSE;
}

class FileDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake = &fake_;
        openFileNameCall = FakeDialog;
        saveFileNameCall = WrongDialog;
        dialog_ = newFileDialog(ByteString(), ByteString(), 0);
        ASSERT_NE(dialog_, nullptr);
    }
    void TearDown() override {
        openFileNameCall = GetOpenFileNameW;
        saveFileNameCall = GetSaveFileNameW;
        mainWidget = nullptr;
        Release(dialog_);
    }
    Fake fake_;
    FileDialog* dialog_ = nullptr;
};

TEST(FileDialogOptions, EachBitSelectsItsFlag) {
    const DWORD expected[16] = {0x2000, 0x0400, 0x1000, 0x0004, 0x0008, 0x00100000,
                                0x0200, 0x00020000, 0x8000, 0x0002, 0x0800, 0x0001,
                                0x0100, 0, 0, 0};
    for (unsigned bit = 0; bit < 16; ++bit)
        EXPECT_EQ(FileDialogFlags(static_cast<FileDialogOptions>(1u << bit)), expected[bit]) << bit;
    EXPECT_EQ(FileDialogFlags(DefaultFileDialogOptions) | AlwaysDialogFlags, 0x00A81806u);
    EXPECT_EQ(FileDialogFlags(0xFFFF), 0x0012BF0Fu);
}

TEST(FileDialogNew, EmptySetTakesDefaultsOthersKept) {
    struct Row {
        FileDialogOptions in, out;
    } rows[] = {{0, 0x060C}, {OptionAllowMultiSelect, OptionAllowMultiSelect}, {0xE000, 0xE000}};
    for (const Row& row : rows) {
        FileDialog* d = newFileDialog(ByteString("t"), ByteString("C:\\"), row.in);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->options, row.out);
        EXPECT_TRUE(d->isOpenDialog);
        EXPECT_EQ(d->title, ByteString("t"));
        EXPECT_EQ(d->initialDir, ByteString("C:\\"));
        EXPECT_TRUE(d->filter.Empty() && d->fileName.Empty() && d->defaultExt.Empty());
        EXPECT_EQ(d->filterIndex, 0);
        EXPECT_EQ(d->ownerWindow, nullptr);
        EXPECT_FALSE(d->readOnlyChecked);
        Release(d);
    }
}

TEST(FileDialogRecord, IsThe76ByteLayoutOnI686) {
    EXPECT_EQ(OpenFileNameRecordSize, static_cast<DWORD>(OPENFILENAME_SIZE_VERSION_400A));
    EXPECT_LT(OpenFileNameRecordSize, sizeof(OPENFILENAMEW));
}

TEST(FileDialogFilter, BarsBecomeNulsAndTheListEndsTwice) {
    struct Row {
        std::string in, out;
    } rows[] = {
        {"*.*|*.*", std::string("*.*\0*.*\0\0", 9)},
        {"Patches (*.ips)|*.ips|All|*.*", std::string("Patches (*.ips)\0*.ips\0All\0*.*\0\0", 31)},
        {"a||b", std::string("a\0\0b\0\0", 6)},
    };
    for (const Row& row : rows) {
        ByteString list = FilterList(ByteString(row.in.c_str()));
        // The counted bytes plus the string's own terminator.
        EXPECT_EQ(std::string(list.CStr(), list.Length() + 1), row.out) << row.in;
    }
}

TEST(FileDialogFilter, NonAsciiTextKeepsItsBytes) {
    // UTF-8: "億" (E5 84 84, 83 7C in code page 936) and "|" never share a byte.
    std::string in = "\xE5\x84\x84|*.bin", out("\xE5\x84\x84\0*.bin\0\0", 11);
    ByteString list = FilterList(ByteString(in.c_str()));
    EXPECT_EQ(std::string(list.CStr(), list.Length() + 1), out);
}

TEST(FileDialogJoin, NulsBetweenNamesBecomeCarriageReturns) {
    struct Row {
        std::string in, out;
    } rows[] = {
        {std::string("C:\\dir\0a.bin\0b.bin\0\0", 21), "C:\\dir\ra.bin\rb.bin"},
        {std::string("C:\\dir\\one.bin\0\0", 16), "C:\\dir\\one.bin"},
        {std::string("x\0\0y\0\0", 6), "x"},  // stops at the first pair of NULs
    };
    for (const Row& row : rows) {
        std::wstring buffer(row.in.begin(), row.in.end());
        buffer += std::wstring(8, L'\0');
        JoinMultiSelection(&buffer[0], static_cast<DWORD>(buffer.size()));
        EXPECT_EQ(std::wstring(buffer.c_str()), std::wstring(row.out.begin(), row.out.end()));
    }
    // A buffer filled to its last unit is never read past.
    std::wstring full(6, L'a');
    full[2] = L'\0';
    JoinMultiSelection(&full[0], 6);
    EXPECT_EQ(full, std::wstring(L"aa\raaa", 6));
}

TEST_F(FileDialogTest, DefaultRecordAsHandedToTheSystem) {
    dialog_->filter = ByteString("*.*|*.*");
    dialog_->fileName = ByteString("C:\\old.bin");
    fake_.reply = std::string("C:\\new.bin\0", 11);
    fake_.replyFilterIndex = 1;
    ASSERT_TRUE(dialog_->execute());
    ASSERT_EQ(fake_.calls, 1);
    const OPENFILENAMEW& r = fake_.record;
    EXPECT_EQ(r.lStructSize, OpenFileNameRecordSize);
    EXPECT_EQ(r.Flags, 0x00A81806u);
    EXPECT_EQ(r.nMaxFile, 262u);
    EXPECT_EQ(r.hwndOwner, nullptr) << "no owner set and no main form";
    EXPECT_EQ(r.hInstance, moduleInstance);
    EXPECT_EQ(fake_.filter, std::string("*.*\0*.*\0\0", 9));
    EXPECT_EQ(fake_.fileShown, "C:\\old.bin");
    EXPECT_EQ(r.lpstrInitialDir, nullptr);
    EXPECT_EQ(r.lpstrTitle, nullptr);
    EXPECT_FALSE(fake_.defExtNull) << "an empty default extension is \"\", never null";
    EXPECT_EQ(fake_.defExt, "");
    EXPECT_EQ(r.lCustData, reinterpret_cast<LPARAM>(dialog_));
    EXPECT_EQ(r.lpstrCustomFilter, nullptr);
    EXPECT_EQ(r.lpstrFileTitle, nullptr);

    EXPECT_EQ(dialog_->fileName, ByteString("C:\\new.bin"));
    EXPECT_EQ(dialog_->filterIndex, 1);
    EXPECT_FALSE(dialog_->readOnlyChecked);
}

TEST_F(FileDialogTest, SettingsReachTheRecord) {
    dialog_->title = ByteString("Pick");
    dialog_->initialDir = ByteString("C:\\windows");
    dialog_->defaultExt = ByteString("ips");
    dialog_->filterIndex = 2;
    dialog_->options = OptionAllowMultiSelect | OptionReadOnly;
    dialog_->ownerWindow = reinterpret_cast<HWND>(0x1234);
    fake_.reply = std::string("C:\\d\0a\0b\0\0", 10);
    fake_.replyFlagsAdd = OFN_READONLY;
    fake_.replyFilterIndex = 3;
    ASSERT_TRUE(dialog_->execute());
    const OPENFILENAMEW& r = fake_.record;
    EXPECT_TRUE(fake_.filterNull) << "an empty filter passes no list";
    EXPECT_EQ(fake_.title, "Pick");
    EXPECT_EQ(fake_.initialDir, "C:\\windows");
    EXPECT_EQ(fake_.defExt, "ips");
    EXPECT_EQ(r.nFilterIndex, 2u);
    EXPECT_EQ(r.nMaxFile, 65520u);
    EXPECT_EQ(r.Flags, 0x00A80000u | OFN_ALLOWMULTISELECT | OFN_READONLY);
    EXPECT_EQ(r.hwndOwner, reinterpret_cast<HWND>(0x1234));
    EXPECT_EQ(dialog_->fileName, ByteString("C:\\d\ra\rb"));
    EXPECT_EQ(dialog_->filterIndex, 3);
    EXPECT_TRUE(dialog_->readOnlyChecked);
}

TEST_F(FileDialogTest, NamesInAnyScriptGoBothWays) {
    dialog_->fileName = ByteString(u8"C:\\補丁\\a.bin");
    fake_.reply = std::string(u8"D:\\한국어\\b.bin") + std::string(1, '\0');
    ASSERT_TRUE(dialog_->execute());
    EXPECT_EQ(fake_.fileShown, u8"C:\\補丁\\a.bin");
    EXPECT_EQ(dialog_->fileName, ByteString(u8"D:\\한국어\\b.bin"));
}

TEST_F(FileDialogTest, LongNameIsCutToTheBuffer) {
    std::string longName(300, 'n');
    dialog_->fileName = ByteString(longName.c_str());
    fake_.result = FALSE;
    EXPECT_FALSE(dialog_->execute());
    EXPECT_EQ(fake_.fileShown, std::string(261, 'n'));
}

TEST_F(FileDialogTest, CancelEmptiesTheNameAndKeepsTheRest) {
    dialog_->fileName = ByteString("C:\\kept-before.bin");
    dialog_->filterIndex = 4;
    dialog_->readOnlyChecked = true;
    fake_.result = FALSE;
    fake_.replyFilterIndex = 9;
    EXPECT_FALSE(dialog_->execute());
    EXPECT_TRUE(dialog_->fileName.Empty());
    EXPECT_EQ(dialog_->filterIndex, 4);
    EXPECT_TRUE(dialog_->readOnlyChecked);
}

TEST_F(FileDialogTest, OwnerFallsBackToAnExistingMainFormWindowOnly) {
    Widget* form = MakeWidget(nullptr);
    ASSERT_NE(form, nullptr);
    mainWidget = form;
    fake_.result = FALSE;
    dialog_->execute();
    EXPECT_EQ(fake_.record.hwndOwner, nullptr) << "a main form without a window is not created";
    EXPECT_EQ(form->handle, nullptr);

    form->handle = reinterpret_cast<HWND>(0x4321);  // as if its window existed
    dialog_->execute();
    EXPECT_EQ(fake_.record.hwndOwner, reinterpret_cast<HWND>(0x4321));
    form->handle = nullptr;
    mainWidget = nullptr;
    Release(form);
}

TEST_F(FileDialogTest, SaveDialogUsesTheSaveCall) {
    openFileNameCall = WrongDialog;
    saveFileNameCall = FakeDialog;
    dialog_->isOpenDialog = false;
    fake_.reply = std::string("C:\\out.bin\0", 11);
    EXPECT_TRUE(dialog_->execute());
    EXPECT_EQ(fake_.calls, 1);
    EXPECT_EQ(dialog_->fileName, ByteString("C:\\out.bin"));
}

}  // namespace
