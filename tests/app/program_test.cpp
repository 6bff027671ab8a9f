// The real program, started as its own process and driven from here through
// window messages: the window as the user sees it, patch runs, the file
// dialog and the process's end. Runs with LC_ALL=zh_CN.UTF-8 (code page 936).
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <cstring>
#include <string>
#include <vector>

#include "../patch/bps_reference.h"
#include "driver.h"
#include "patch/byte_stream.h"
#include "patch/patch_container.h"
#include "patch/target_check.h"
#include "patch/undo_journal.h"

using drive::Program;

namespace {

const std::string kBinaryDir = drive::WindowsPath(TESSEL_BINARY_DIR);
const std::string kSourceDir = drive::WindowsPath(TESSEL_SOURCE_DIR);
const std::string kTessel = kBinaryDir + "\\tessel.exe";
const std::string kStub = kBinaryDir + "\\tessel-stub.exe";

const int kBrowseId = 0x8000, kOkId = 0x8001, kFileId = 0x8002, kBackupId = 0x8004,
          kDescriptionId = 0x8005;

std::string Ansi(const char16_t* text) { return drive::ToCodePage(text, CP_ACP); }

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(GetACP(), 936u) << "these tests expect LC_ALL=zh_CN.UTF-8";
        // A short folder whose Unix path is known (see MakeReadOnly). Under
        // a build tree in a longer folder (/work/cleanclone/build/win64) the
        // read-only rows hung wine: the test's next SendMessage never
        // returned once chattr had made a file there immutable.
        unixDir_ = "/tmp/tessel-e2e-" + std::to_string(GetCurrentProcessId());
        dir_ = drive::WindowsPath(unixDir_);
        CreateDirectoryA(dir_.c_str(), nullptr);
        ASSERT_TRUE(drive::ReadWholeFile(kSourceDir + "\\res\\demo.ips", &patch_));
    }
    void TearDown() override {
        drive::Kill(&program_);
        for (const std::string& name : immutable_) {
            StartUnix("/usr/bin/chattr -i " + unixDir_ + "/" + name);
            SetFileAttributesA(File(name.c_str()).c_str(), FILE_ATTRIBUTE_NORMAL);
            WaitWritable(File(name.c_str()), true);
        }
        std::string pattern = dir_ + "\\*";
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA(pattern.c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (!strcmp(found.cFileName, ".") || !strcmp(found.cFileName, "..")) continue;
                std::string path = dir_ + "\\" + found.cFileName;
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveDirectoryA(path.c_str());
                else
                    DeleteFileA(path.c_str());
            } while (FindNextFileA(search, &found));
            FindClose(search);
        }
        RemoveDirectoryA(dir_.c_str());
    }

    void Start(const std::string& exe) {
        ASSERT_TRUE(drive::Launch(exe, &program_)) << exe;
        for (int id : {kBrowseId, kOkId, kFileId, kBackupId, kDescriptionId}) {
            HWND control = drive::Child(program_.form, id);
            ASSERT_NE(control, nullptr) << std::hex << id;
        }
    }
    HWND Control(int id) { return drive::Child(program_.form, id); }
    HWND ProgressBar() { return drive::Child(program_.form, 0, "obj_msctls_progress32"); }
    DWORD Pid() const { return program_.process.dwProcessId; }

    // Types a path and presses 確定; returns the message box text, or
    // "(no box)" when the click was handled without one.
    std::string RunOn(const std::string& path, std::string* title = nullptr) {
        EXPECT_TRUE(drive::SetTextOf(Control(kFileId), path));
        drive::Click(Control(kOkId));
        EXPECT_TRUE(drive::Drain(Control(kDescriptionId)));
        HWND box = drive::WaitForDialog(Pid(), 0);
        if (!box) return "(no box)";
        EXPECT_EQ(GetWindow(box, GW_OWNER), program_.form) << "the box is owned by the form";
        if (title) *title = drive::TextOf(box);
        std::string text = drive::MessageBoxText(box);
        EXPECT_TRUE(drive::DismissMessageBox(box));
        return text;
    }

    // RunOn, with the box's text read through the W call.
    std::u16string RunOnWide(const std::string& path) {
        EXPECT_TRUE(drive::SetTextOf(Control(kFileId), path));
        HWND box = ConfirmAndWaitForBox();
        if (!box) return u"(no box)";
        EXPECT_EQ(GetWindow(box, GW_OWNER), program_.form) << "the box is owned by the form";
        std::u16string text = drive::WideTextOf(GetDlgItem(box, 0xFFFF));
        EXPECT_TRUE(drive::DismissMessageBox(box));
        return text;
    }

    // A patcher laid out as tessel-pack writes one: the stub, a description
    // block with the extension (UTF-8 text), L2, the demo patch, L1.
    // codePage 0: a patcher from before the extension (the text alone).
    std::string MakePatcher(const char* name, const std::string& utf8Text, const char* title,
                            const TargetFacts* facts = nullptr, const std::string* patch = nullptr,
                            uint32_t codePage = CodePageUtf8) {
        if (!patch) patch = &patch_;
        PayloadExtension extension = {};
        extension.codePage = codePage;
        extension.title = ByteString(title);
        extension.hasFacts = facts != nullptr;
        if (facts) extension.facts = *facts;
        const ByteString text(utf8Text.data(), utf8Text.size());
        ByteString block = codePage ? ComposeDescriptionBlock(text, extension) : text;
        std::string stub, out;
        EXPECT_TRUE(drive::ReadWholeFile(kStub, &stub));
        auto le32 = [](size_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
        out = stub + std::string(block.CStr(), block.Length()) + le32(block.Length() + 4) + *patch +
              le32(patch->size() + 4);
        EXPECT_TRUE(drive::WriteWholeFile(File(name), out));
        return File(name);
    }
    static uint32_t Crc(const std::string& bytes) {
        return Crc32Update(0, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
    }
    // Presses 確定 on the path already in the file box; the box that
    // appears, or null.
    HWND ConfirmAndWaitForBox() {
        drive::Click(Control(kOkId));
        EXPECT_TRUE(drive::Drain(Control(kDescriptionId)));
        return drive::WaitForDialog(Pid(), 0);
    }

    void ExpectClosesWithZero() {
        DWORD code = 1234;
        ASSERT_TRUE(drive::Close(&program_, &code));
        EXPECT_EQ(code, 0u);
    }

    std::string File(const char* name) const { return dir_ + "\\" + name; }

    static bool Writable(const std::string& path) {
        HANDLE probe = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe == INVALID_HANDLE_VALUE) return false;
        CloseHandle(probe);
        return true;
    }
    // Wine starts Unix programs named by their Z: path. The handle it gives
    // back is not the Unix process (no wait, no exit code), so callers look
    // for the program's effect instead.
    static bool StartUnix(const std::string& commandLine) {
        size_t space = commandLine.find(' ');
        std::string line = drive::WindowsPath(commandLine.substr(0, space)) + commandLine.substr(space);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &process))
            return false;
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        return true;
    }
    static bool WaitWritable(const std::string& path, bool writable) {
        for (int i = 0; i < 500; ++i) {
            if (Writable(path) == writable) return true;
            Sleep(10);
        }
        return false;
    }
    // Makes a file in the work folder refuse writers: the read-only
    // attribute; where that does not bind (wine maps it to Unix permission
    // bits, which root ignores) the Unix immutable flag. False when neither
    // binds here.
    bool MakeReadOnly(const char* name) {
        std::string path = File(name);
        if (!SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY)) return false;
        if (!Writable(path)) return true;
        immutable_.push_back(name);
        return StartUnix("/usr/bin/chattr +i " + unixDir_ + "/" + name) && WaitWritable(path, false);
    }

    Program program_;
    std::string dir_, unixDir_;
    std::vector<std::string> immutable_;
    std::string patch_;
};

// "完成! 總用時:" + decimal digits + " ms", in the ANSI code page.
::testing::AssertionResult IsDoneMessage(const std::string& text) {
    std::string prefix = Ansi(u"完成! 總用時:"), suffix = " ms";
    if (text.size() <= prefix.size() + suffix.size() || text.compare(0, prefix.size(), prefix) ||
        text.compare(text.size() - suffix.size(), suffix.size(), suffix))
        return ::testing::AssertionFailure() << "not a done message: " << drive::ToUtf8(text, CP_ACP);
    for (size_t i = prefix.size(); i < text.size() - suffix.size(); ++i)
        if (text[i] < '0' || text[i] > '9')
            return ::testing::AssertionFailure() << "not digits: " << drive::ToUtf8(text, CP_ACP);
    return ::testing::AssertionSuccess();
}

TEST_F(ProgramTest, WindowLooksAsBuilt) {
    Start(kTessel);
    HWND form = program_.form;
    EXPECT_EQ(drive::ClassOf(form), "obj_Form");
    EXPECT_EQ(drive::TextOf(form), "Tessel");

    RECT client, outer;
    GetClientRect(form, &client);
    GetWindowRect(form, &outer);
    EXPECT_EQ(client.right - client.left, 275);
    EXPECT_EQ(client.bottom - client.top, 205);
    // Centred on the whole screen with an arithmetic shift; the test screen
    // is 1023 wide so an odd remainder is dropped.
    int screenWidth = GetSystemMetrics(SM_CXSCREEN), screenHeight = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_EQ(outer.left, (screenWidth - (outer.right - outer.left)) >> 1);
    EXPECT_EQ(outer.top, (screenHeight - (outer.bottom - outer.top)) >> 1);

    LONG style = GetWindowLongA(form, GWL_STYLE);
    EXPECT_EQ(style & WS_MAXIMIZEBOX, 0) << "no maximize box";
    EXPECT_EQ(style & WS_THICKFRAME, 0) << "no sizing frame";
    EXPECT_NE(style & WS_MINIMIZEBOX, 0) << "other style bits stay";
    // Every edge and corner answers as plain border: no resize cursor, no drag.
    POINT probes[] = {{outer.left, (outer.top + outer.bottom) / 2},
                      {outer.right - 1, (outer.top + outer.bottom) / 2},
                      {(outer.left + outer.right) / 2, outer.bottom - 1},
                      {outer.right - 1, outer.bottom - 1},
                      {outer.left, outer.top}};
    for (POINT p : probes) {
        LRESULT hit = SendMessageA(form, WM_NCHITTEST, 0, MAKELPARAM(p.x, p.y));
        EXPECT_FALSE(hit >= HTLEFT && hit <= HTBOTTOMRIGHT) << p.x << "," << p.y << " -> " << hit;
    }

    std::string description;
    ASSERT_TRUE(drive::ReadWholeFile(kSourceDir + "\\res\\demo-description.txt", &description));
    std::string carried = drive::ToCodePage(drive::FromUtf8(description), 936);
    ASSERT_EQ(carried.size(), 231u);

    struct Row {
        int id;
        const char* cls;
        int left, top, width, height;  // width 0: sized to its caption
        std::string caption;
        LONG mustHave, mustNotHave;
    };
    const Row rows[] = {
        {kBrowseId, "obj_BUTTON", 216, 136, 49, 23, Ansi(u"文件"), WS_TABSTOP, BS_AUTOCHECKBOX},
        {kOkId, "obj_BUTTON", 216, 170, 49, 23, Ansi(u"確定"), WS_TABSTOP, BS_AUTOCHECKBOX},
        {kFileId, "obj_EDIT", 8, 136, 201, 23, "", ES_AUTOHSCROLL, ES_MULTILINE | ES_READONLY},
        {0, "obj_msctls_progress32", 56, 176, 153, 15, "", 0, 0},
        {kBackupId, "obj_BUTTON", 8, 175, 0, 0, Ansi(u"備份"), BS_AUTOCHECKBOX, 0},
        {kDescriptionId, "obj_EDIT", 8, 8, 257, 121, carried,
         ES_MULTILINE | WS_VSCROLL | ES_AUTOVSCROLL, ES_READONLY | WS_HSCROLL | ES_AUTOHSCROLL},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.cls + std::string(" id ") + std::to_string(row.id));
        HWND control = drive::Child(form, row.id, row.cls);
        ASSERT_NE(control, nullptr);
        EXPECT_TRUE(IsWindowVisible(control));
        RECT r = drive::ChildRect(control);
        EXPECT_EQ(r.left, row.left);
        EXPECT_EQ(r.top, row.top);
        if (row.width) {
            EXPECT_EQ(r.right - r.left, row.width);
            EXPECT_EQ(r.bottom - r.top, row.height);
        }
        EXPECT_EQ(drive::TextOf(control), row.caption);
        LONG controlStyle = GetWindowLongA(control, GWL_STYLE);
        EXPECT_EQ(controlStyle & row.mustHave, row.mustHave);
        EXPECT_EQ(controlStyle & row.mustNotHave, 0);
    }

    // The check box: unchecked, and sized to "備份" in its font plus 24 x 6.
    HWND check = Control(kBackupId);
    EXPECT_EQ(SendMessageA(check, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    HDC dc = GetDC(nullptr);
    HFONT arial = CreateFontA(-12, 0, 0, 0, 0, 0, 0, 0, ANSI_CHARSET, 0, 0, 0, 0, "Arial");
    HGDIOBJ old = SelectObject(dc, arial);
    std::string caption = Ansi(u"備份");
    SIZE extent = {};
    GetTextExtentPoint32A(dc, caption.c_str(), static_cast<int>(caption.size()), &extent);
    SelectObject(dc, old);
    DeleteObject(arial);
    ReleaseDC(nullptr, dc);
    RECT box = drive::ChildRect(check);
    EXPECT_EQ(box.right - box.left, extent.cx + 24);
    EXPECT_EQ(box.bottom - box.top, extent.cy + 6);

    EXPECT_EQ(SendMessageA(ProgressBar(), PBM_GETPOS, 0, 0), 0);

    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetGUIThreadInfo(program_.process.dwThreadId, &info));
    EXPECT_EQ(info.hwndFocus, Control(kBrowseId)) << "focus starts on the browse button";

    ExpectClosesWithZero();
}

TEST_F(ProgramTest, RunsPatchTargetsOfEverySizeWithBackup) {
    // Zero-filled targets: no data byte of the demo patch is 0, so every
    // byte it writes inside the old size is a change.
    struct Row {
        const char* name;
        size_t size;
        size_t expectedSize;
    } rows[] = {
        {"short.bin", 0x1000, 0x1C0000},  // grows; the gap is filled with zeros
        {"exact.bin", 0x1C0000, 0x1C0000},
        {"long.bin", 0x200000, 0x200000},
    };
    Start(kTessel);
    SendMessageA(Control(kBackupId), BM_CLICK, 0, 0);
    ASSERT_EQ(SendMessageA(Control(kBackupId), BM_GETCHECK, 0, 0), BST_CHECKED);

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string path = File(row.name), old(row.size, '\0');
        ASSERT_TRUE(drive::WriteWholeFile(path, old));
        std::string expected = old;
        ASSERT_TRUE(drive::ApplyIpsReference(patch_, &expected));
        ASSERT_EQ(expected.size(), row.expectedSize);

        std::string title;
        EXPECT_TRUE(IsDoneMessage(RunOn(path, &title)));
        EXPECT_EQ(title, "Tessel");
        std::string now, backup;
        ASSERT_TRUE(drive::ReadWholeFile(path, &now));
        EXPECT_TRUE(now == expected) << "target differs from the patch applied by the reference";
        // Exactly the 131 patched bytes differ from the old content (read
        // as zeros past its old end).
        size_t changed = 0;
        for (size_t i = 0; i < now.size(); ++i) changed += now[i] != (i < old.size() ? old[i] : 0);
        EXPECT_EQ(changed, 131u);
        EXPECT_EQ(now.size(), row.expectedSize);
        ASSERT_TRUE(drive::ReadWholeFile(path + ".bak", &backup));
        EXPECT_TRUE(backup == old) << "the .bak holds the target as it was";
        EXPECT_EQ(SendMessageA(ProgressBar(), PBM_GETPOS, 0, 0), 100);
        EXPECT_EQ(SendMessageA(Control(kBackupId), BM_GETCHECK, 0, 0), BST_CHECKED);

        // A second run finds the patch there: nothing written, and the
        // backup still holds the original.
        EXPECT_EQ(RunOn(path), Ansi(u"此檔案已經修補過了!"));
        ASSERT_TRUE(drive::ReadWholeFile(path, &now));
        EXPECT_TRUE(now == expected);
        ASSERT_TRUE(drive::ReadWholeFile(path + ".bak", &backup));
        EXPECT_TRUE(backup == old);
    }
    ExpectClosesWithZero();
}

// A run killed midway left its target torn (one record written of three)
// and its undo journal beside it: the next run puts the target back first,
// says so above its result, patches it, and leaves nothing behind.
TEST_F(ProgramTest, AnInterruptedRunIsPutBackFirstAndSaid) {
    const std::string path = File("torn.bin");
    const std::string old(0x1C0000, '\0');
    std::string expected = old;
    ASSERT_TRUE(drive::ApplyIpsReference(patch_, &expected));
    std::string torn = old;
    torn.replace(0x18E, 2, expected, 0x18E, 2);
    ASSERT_TRUE(drive::WriteWholeFile(path, torn));
    const ByteString journalPath = JournalPathFor(ByteString(path.c_str()));
    {
        ByteStream* stream = OpenReadWriteFileStream(journalPath);
        UndoJournal journal(stream, journalPath);
        EXPECT_TRUE(journal.Add(0x18E, reinterpret_cast<const uint8_t*>(old.data()) + 0x18E, 2) &&
                    journal.Seal(old.size(), old.size()));
        Release(stream);
    }
    Start(kTessel);
    const std::string said = RunOn(path);
    const std::string first = Ansi(u"上次修補未完成, 檔案已還原。") + "\r\n";
    EXPECT_EQ(said.substr(0, first.size()), first) << drive::ToUtf8(said, CP_ACP);
    EXPECT_TRUE(IsDoneMessage(said.substr(first.size() < said.size() ? first.size() : 0)));
    std::string now;
    ASSERT_TRUE(drive::ReadWholeFile(path, &now));
    EXPECT_TRUE(now == expected) << "target differs from the patch applied by the reference";
    EXPECT_EQ(GetFileAttributesA(journalPath.CStr()), INVALID_FILE_ATTRIBUTES) << "the journal is gone";
    // Nothing more to put back: the next run finds the patch there.
    EXPECT_EQ(RunOn(path), Ansi(u"此檔案已經修補過了!"));
    ExpectClosesWithZero();
}

TEST_F(ProgramTest, ConfirmDoesNothingWithoutAnExistingFile) {
    CreateDirectoryA(File("folder").c_str(), nullptr);
    const std::string rows[] = {File("folder"), File("folder") + "\\", File("missing.bin"), "",
                                "   "};
    Start(kTessel);
    for (const std::string& path : rows) {
        SCOPED_TRACE(path);
        EXPECT_EQ(RunOn(path), "(no box)");
        EXPECT_EQ(SendMessageA(ProgressBar(), PBM_GETPOS, 0, 0), 0) << "the bar is not touched";
        EXPECT_EQ(drive::TextOf(Control(kFileId)), path) << "the typed text stays";
    }
    EXPECT_EQ(GetFileAttributesA(File("missing.bin").c_str()), INVALID_FILE_ATTRIBUTES)
        << "nothing is created";
    ExpectClosesWithZero();
}

TEST_F(ProgramTest, StubWithoutPayloadReportsErrorOnEveryRun) {
    std::string path = File("target.bin"), old(0x300, 'x');
    ASSERT_TRUE(drive::WriteWholeFile(path, old));
    Start(kStub);
    EXPECT_EQ(drive::TextOf(Control(kDescriptionId)), "");
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(RunOn(path), Ansi(u"程序錯誤!")) << "run " << run;
        std::string now;
        ASSERT_TRUE(drive::ReadWholeFile(path, &now));
        EXPECT_TRUE(now == old) << "the target is untouched";
    }
    ExpectClosesWithZero();
}

TEST_F(ProgramTest, FailuresAreReportedAndLoseNothing) {
    enum Setup { ReadOnly, HeldOpen, BackupBlocked };
    // The box's first line is the result, its last what to do; between them
    // the system's words for the error.
    const char16_t* readOnlyAdvice = u"檔案為唯讀: 請在檔案「內容」中取消「唯讀」後再試。";
    const char16_t* inUseAdvice = u"檔案正被其他程式使用: 請關閉該程式後再試。";
    struct Row {
        const char* name;
        Setup setup;
        bool backup;
        const char16_t* message;
        const char16_t* advice;  // null: the result alone (no system call failed)
    } rows[] = {
        {"readonly.bin", ReadOnly, false, u"寫入失敗!", readOnlyAdvice},
        {"readonly-backup.bin", ReadOnly, true, u"寫入失敗!", readOnlyAdvice},
        {"held.bin", HeldOpen, false, u"寫入失敗!", inUseAdvice},  // open elsewhere without write sharing
        {"held-backup.bin", HeldOpen, true, u"寫入失敗!", inUseAdvice},
        {"blocked.bin", BackupBlocked, true, u"備份失敗!", nullptr},  // a folder stands where the .bak goes
    };
    // Some file systems take neither the attribute nor the immutable flag
    // from root; the read-only rows are then left out and the test is
    // reported as skipped once the other rows have run.
    ASSERT_TRUE(drive::WriteWholeFile(File("probe.bin"), "p"));
    bool readOnlyWorks = MakeReadOnly("probe.bin");
    Start(kTessel);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.setup == ReadOnly && !readOnlyWorks) continue;
        std::string path = File(row.name), old(0x2000, '\x11');
        ASSERT_TRUE(drive::WriteWholeFile(path, old));
        HANDLE held = INVALID_HANDLE_VALUE;
        if (row.setup == ReadOnly) ASSERT_TRUE(MakeReadOnly(row.name));
        if (row.setup == HeldOpen) {
            held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        if (row.setup == BackupBlocked) ASSERT_TRUE(CreateDirectoryA((path + ".bak").c_str(), nullptr));
        bool checked = SendMessageA(Control(kBackupId), BM_GETCHECK, 0, 0) == BST_CHECKED;
        if (checked != row.backup) SendMessageA(Control(kBackupId), BM_CLICK, 0, 0);

        // A read-only target's backup is tried twice: the first must leave
        // nothing behind that makes the second fail differently.
        std::u16string said = RunOnWide(path);
        if (row.setup == ReadOnly && row.backup) EXPECT_EQ(RunOnWide(path), said) << "the second try";
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        const std::u16string message = row.message;
        if (!row.advice) {
            EXPECT_EQ(said, message);
        } else {
            const std::u16string advice = row.advice;
            EXPECT_EQ(said.substr(0, message.size() + 2), message + u"\r\n") << drive::ToCodePage(said, CP_UTF8);
            EXPECT_GT(said.size(), message.size() + 2 + advice.size() + 2) << "the system's reason between them";
            EXPECT_EQ(said.size() >= advice.size() ? said.substr(said.size() - advice.size()) : said, advice)
                << drive::ToCodePage(said, CP_UTF8);
        }
        EXPECT_EQ(GetFileAttributesA((path + ".bak.partial").c_str()), INVALID_FILE_ATTRIBUTES)
            << "no temporary left behind";
        std::string now;
        ASSERT_TRUE(drive::ReadWholeFile(path, &now));
        EXPECT_TRUE(now == old) << "the target is untouched";
        // The target is opened for writing before anything else: a file
        // that cannot be written gets no backup either.
        if (row.setup == ReadOnly && row.backup)
            EXPECT_EQ(GetFileAttributesA((path + ".bak").c_str()), INVALID_FILE_ATTRIBUTES);
    }
    ExpectClosesWithZero();
    if (!readOnlyWorks) GTEST_SKIP() << "no way to make a file read-only for this user here";
}

TEST_F(ProgramTest, FileDialogIsOwnedCancelKeepsAndChoiceFills) {
    std::string earlier = File("earlier.bin"), chosen = File("chosen.bin");
    ASSERT_TRUE(drive::WriteWholeFile(earlier, "e"));
    ASSERT_TRUE(drive::WriteWholeFile(chosen, "c"));
    Start(kTessel);
    ASSERT_TRUE(drive::SetTextOf(Control(kFileId), earlier));

    // Cancel: the earlier path stays.
    drive::Click(Control(kBrowseId));
    HWND dialog = drive::WaitForDialog(Pid(), 15000);
    ASSERT_NE(dialog, nullptr) << "the open dialog appears";
    EXPECT_EQ(GetWindow(dialog, GW_OWNER), program_.form);
    EXPECT_FALSE(IsWindowEnabled(program_.form)) << "modal: the form is disabled meanwhile";
    drive::Click(GetDlgItem(dialog, IDCANCEL));
    for (int i = 0; i < 500 && IsWindow(dialog); ++i) Sleep(10);
    ASSERT_FALSE(IsWindow(dialog));
    ASSERT_TRUE(drive::Drain(Control(kDescriptionId)));
    EXPECT_EQ(drive::TextOf(Control(kFileId)), earlier);

    // Choose: the full path lands in the file box. The explorer-style
    // dialog's name box is the combo box cmb13 (0x47C); older layouts have
    // the edit edt1 (0x480).
    drive::Click(Control(kBrowseId));
    dialog = drive::WaitForDialog(Pid(), 15000);
    ASSERT_NE(dialog, nullptr);
    HWND name = GetDlgItem(dialog, 0x47C);
    if (!name) name = GetDlgItem(dialog, 0x480);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(drive::TextOf(name), "") << "the dialog starts with an empty name";
    ASSERT_TRUE(drive::SetTextOf(name, chosen));
    drive::Click(GetDlgItem(dialog, IDOK));
    for (int i = 0; i < 500 && IsWindow(dialog); ++i) Sleep(10);
    ASSERT_FALSE(IsWindow(dialog));
    ASSERT_TRUE(drive::Drain(Control(kDescriptionId)));
    EXPECT_EQ(lstrcmpiA(drive::TextOf(Control(kFileId)).c_str(), chosen.c_str()), 0)
        << drive::TextOf(Control(kFileId));

    // The chosen path is patched like a typed one.
    EXPECT_TRUE(IsDoneMessage(RunOn(drive::TextOf(Control(kFileId)))));
    ExpectClosesWithZero();
}

// A patcher in a folder whose name the ANSI code page cannot hold (Thai on
// a Chinese system) still finds its payload: it opens itself by its UTF-16
// name. No ANSI text can name it, so a shell glob starts it.
TEST_F(ProgramTest, PatcherInAFolderTheCodePageCannotNameLoadsItsPayload) {
    const std::wstring folder = std::wstring(dir_.begin(), dir_.end()) + L"\\\u0E17\u0E14\u0E2A\u0E2D\u0E1A";
    const std::wstring exe = folder + L"\\tessel.exe";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << "no glibc locale for non-ASCII names?";
    ASSERT_TRUE(CopyFileW(std::wstring(kTessel.begin(), kTessel.end()).c_str(), exe.c_str(), FALSE));
    ASSERT_TRUE(drive::LaunchFromUnix(
        std::string("/bin/sh -c \"exec ") + drive::WineLoader() + " " + unixDir_ + "/*/tessel.exe\"", &program_));
    const std::string description = drive::TextOf(Control(kDescriptionId));
    ExpectClosesWithZero();
    DeleteFileW(exe.c_str());
    RemoveDirectoryW(folder.c_str());
    EXPECT_EQ(description.compare(0, 6, Ansi(u"本補丁")), 0) << drive::ToUtf8(description, CP_ACP);
}

TEST_F(ProgramTest, ClosingAtOnceExitsWithZero) {
    Start(kTessel);
    ExpectClosesWithZero();
}

// One UTF-8 patcher under each code page: its Traditional-Chinese title and
// description exact on every one (the window is a Unicode window), the
// Chinese captions and messages on 936 and 950, English ones elsewhere, and
// the publisher's title on the window and its boxes everywhere.
TEST_F(ProgramTest, EveryCodePageShowsReadableTextsAndTheTitle) {
    const std::string text = u8"本補丁修改目標檔案中的三段資料。說明 ═══\r\n用法：按「文件」選擇要修補的檔案。";
    const char* title = u8"補丁說明 ═ Demo 1.2";
    const std::string patcher = MakePatcher("utf8.exe", text, title);
    const struct {
        const char* locale;
        bool chinese;  // captions and messages in Chinese
        std::u16string browse, ok, backup, done, patched;
    } rows[] = {
        {"zh_CN.UTF-8", true, u"文件", u"確定", u"備份", u"完成! 總用時:", u"此檔案已經修補過了!"},
        {"zh_TW.UTF-8", true, u"文件", u"確定", u"備份", u"完成! 總用時:", u"此檔案已經修補過了!"},
        {"ja_JP.UTF-8", false, u"File", u"OK", u"Backup", u"Done! Total time: ",
         u"This file has already been patched!"},
        {"en_US.UTF-8", false, u"File", u"OK", u"Backup", u"Done! Total time: ",
         u"This file has already been patched!"},
        // Code page 1252, Windows itself in Chinese (wine takes the UI
        // language from LC_MESSAGES).
        {"en_US.UTF-8 LC_ALL= LANG=en_US.UTF-8 LC_MESSAGES=zh_TW.UTF-8", true, u"文件", u"確定", u"備份", u"完成! 總用時:", u"此檔案已經修補過了!"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.locale);
        ASSERT_TRUE(drive::Launch(patcher, &program_, 20000, "", row.locale));
        EXPECT_EQ(drive::WideTextOf(program_.form), drive::FromUtf8(title));
        EXPECT_EQ(drive::WideTextOf(Control(kBrowseId)), row.browse);
        EXPECT_EQ(drive::WideTextOf(Control(kOkId)), row.ok);
        EXPECT_EQ(drive::WideTextOf(Control(kBackupId)), row.backup);
        EXPECT_EQ(drive::WideTextOf(Control(kDescriptionId)), drive::FromUtf8(text));

        const std::string target = File("t.bin");
        ASSERT_TRUE(drive::WriteWholeFile(target, std::string(0x1000, '\0')));
        for (const std::u16string& message : {row.done, row.patched}) {
            ASSERT_TRUE(drive::SetTextOf(Control(kFileId), target));
            HWND box = ConfirmAndWaitForBox();
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(drive::WideTextOf(box), drive::FromUtf8(title));
            std::u16string said = drive::WideTextOf(GetDlgItem(box, 0xFFFF));
            EXPECT_EQ(said.substr(0, message.size()), message);
            EXPECT_TRUE(drive::DismissMessageBox(box));
        }
        ExpectClosesWithZero();
    }
}

// Patchers that store their text in one code page read the same on every
// system: converted from the code page they record, 936 when they record
// none (they were made before the extension, for Chinese systems).
TEST_F(ProgramTest, LegacyPatchersAreReadInTheirOwnCodePage) {
    const std::u16string text = u"本補丁說明 ═══\r\n用法：按「文件」選擇檔案。";
    const struct {
        const char* name;
        uint32_t recorded;  // 0: none
        UINT bytesIn;
        const char* locale;
    } rows[] = {
        {"none-1252.exe", 0, 936, "en_US.UTF-8"},
        {"none-932.exe", 0, 936, "ja_JP.UTF-8"},
        {"big5-936.exe", 950, 950, "zh_CN.UTF-8"},
        {"big5-1252.exe", 950, 950, "en_US.UTF-8"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string patcher =
            MakePatcher(row.name, drive::ToCodePage(text, row.bytesIn), row.recorded ? "Legacy" : "", nullptr,
                        nullptr, row.recorded);
        ASSERT_TRUE(drive::Launch(patcher, &program_, 20000, "", row.locale));
        EXPECT_EQ(drive::WideTextOf(Control(kDescriptionId)), text);
        ExpectClosesWithZero();
    }
}

// A patcher that knows its original: the original is patched, the result
// is left alone, and another file is patched only after Yes.
TEST_F(ProgramTest, TargetsAreCheckedAgainstTheOriginalAndTheResult) {
    const std::string original(0x1000, '\0'), other(0x1000, '\x11');
    std::string result = original, otherPatched = other;
    ASSERT_TRUE(drive::ApplyIpsReference(patch_, &result));
    ASSERT_TRUE(drive::ApplyIpsReference(patch_, &otherPatched));
    const TargetFacts facts = {uint32_t(original.size()), Crc(original), uint32_t(result.size()), Crc(result)};
    enum Answer { NoQuestion, Yes, No };
    const struct {
        const char* name;
        std::string before;
        Answer answer;
        const char16_t* message;  // null: no box after the question
        std::string after;
    } rows[] = {
        {"original.bin", original, NoQuestion, u"完成! 總用時:", result},
        {"patched.bin", result, NoQuestion, u"此檔案已經修補過了!", result},
        {"other-no.bin", other, No, nullptr, other},
        {"other-yes.bin", other, Yes, u"完成! 總用時:", otherPatched},
    };
    Start(MakePatcher("facts.exe", "facts", "Checked", &facts));
    SendMessageA(Control(kBackupId), BM_CLICK, 0, 0);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = File(row.name), earlierBackup = "an earlier backup";
        ASSERT_TRUE(drive::WriteWholeFile(path, row.before));
        ASSERT_TRUE(drive::WriteWholeFile(path + ".bak", earlierBackup));
        ASSERT_TRUE(drive::SetTextOf(Control(kFileId), path));
        HWND box = ConfirmAndWaitForBox();
        ASSERT_NE(box, nullptr);
        if (row.answer != NoQuestion) {
            // Both sides named: what the patch expects, what the file is.
            char facts[160];
            snprintf(facts, sizeof facts, "\r\n%s4096%s, CRC-32 %08X\r\n%s4096%s, CRC-32 %08X\r\n",
                     Ansi(u"需要: ").c_str(), Ansi(u" 位元組").c_str(), Crc(original), Ansi(u"此檔案: ").c_str(),
                     Ansi(u" 位元組").c_str(), Crc(row.before));
            EXPECT_EQ(drive::MessageBoxText(box), Ansi(u"此檔案不是本補丁所需的原始檔案。") + facts + Ansi(u"仍要修補嗎?"));
            EXPECT_EQ(drive::TextOf(box), "Checked");
            EXPECT_NE(GetWindowLongA(GetDlgItem(box, IDNO), GWL_STYLE) & BS_DEFPUSHBUTTON, 0) << "No is the default";
            ASSERT_TRUE(drive::AnswerMessageBox(box, row.answer == Yes ? IDYES : IDNO));
            ASSERT_TRUE(drive::Drain(Control(kDescriptionId)));
            box = drive::WaitForDialog(Pid(), row.message ? 5000 : 0);
        }
        if (row.message) {
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(drive::MessageBoxText(box).substr(0, Ansi(row.message).size()), Ansi(row.message));
            EXPECT_TRUE(drive::DismissMessageBox(box));
        } else {
            EXPECT_EQ(box, nullptr);
        }
        std::string now, backup;
        ASSERT_TRUE(drive::ReadWholeFile(path, &now));
        EXPECT_TRUE(now == row.after) << "target as expected";
        ASSERT_TRUE(drive::ReadWholeFile(path + ".bak", &backup));
        EXPECT_EQ(backup == earlierBackup, row.after == row.before) << "a backup only where the file was patched";
    }
    ExpectClosesWithZero();
}

// A close asked for while a run is under way (here while it asks about a
// file that is not the original) waits for the run: its result is shown
// first, then the window goes, and the program exits with 0.
TEST_F(ProgramTest, ClosingDuringARunShowsItsResultFirst) {
    const std::string original(0x1000, '\0'), other(0x1000, '\x11');
    std::string result = original, otherPatched = other;
    ASSERT_TRUE(drive::ApplyIpsReference(patch_, &result));
    ASSERT_TRUE(drive::ApplyIpsReference(patch_, &otherPatched));
    const TargetFacts facts = {uint32_t(original.size()), Crc(original), uint32_t(result.size()), Crc(result)};
    Start(MakePatcher("close.exe", "close", "Closing", &facts));
    const std::string path = File("closing.bin");
    ASSERT_TRUE(drive::WriteWholeFile(path, other));
    ASSERT_TRUE(drive::SetTextOf(Control(kFileId), path));
    HWND box = ConfirmAndWaitForBox();
    ASSERT_NE(box, nullptr);
    PostMessageA(program_.form, WM_CLOSE, 0, 0);
    ASSERT_TRUE(drive::AnswerMessageBox(box, IDYES));
    box = drive::WaitForDialog(Pid(), 5000);
    ASSERT_NE(box, nullptr) << "the result is shown";
    EXPECT_EQ(drive::MessageBoxText(box).substr(0, Ansi(u"完成! 總用時:").size()), Ansi(u"完成! 總用時:"));
    EXPECT_TRUE(drive::DismissMessageBox(box));
    std::string now;
    ASSERT_TRUE(drive::ReadWholeFile(path, &now));
    EXPECT_TRUE(now == otherPatched);
    ExpectClosesWithZero();
}

// A patcher with two variants (Rev 0 carries the demo patch, whose first
// record lies in the first 512 bytes; Rev 1 its own): each revision, each
// result, a copy with a copier header added, one without the header its
// file has, and a file that is neither, asked about with both named.
TEST_F(ProgramTest, VariantsArePickedByTheFileAndItsHeader) {
    std::string rev0(0x1C0000, '\0'), rev1(0x30000, '\x5A');
    for (size_t i = 0; i < rev1.size(); i += 4099) rev1[i] = char(i >> 8);
    const std::string header(512, '\x77'), other(0x2000, '\x11');
    std::string p1 = "PATCH";
    p1 += std::string("\x00\x03\x00\x00\x04", 5) + "REV1" + std::string("\x02\xFF\xF0\x00\x00\x00\x20\xEE", 8);
    std::string done0 = rev0, done1 = rev1;
    ASSERT_TRUE(drive::ApplyIpsReference(patch_, &done0));
    ASSERT_TRUE(drive::ApplyIpsReference(p1, &done1));
    PayloadExtension extension = {};
    extension.codePage = CodePageUtf8;
    const std::string* files[2][2] = {{&rev0, &done0}, {&rev1, &done1}};
    for (int v = 0; v < 2; ++v) {
        const std::string &source = *files[v][0], &result = *files[v][1];
        PatchVariant variant = {};
        variant.facts = {uint32_t(source.size()), Crc(source), uint32_t(result.size()), Crc(result)};
        variant.sourceBodyCrc = Crc(source.substr(512));
        variant.resultBodyCrc = Crc(result.substr(512));
        ASSERT_TRUE(AddPatchVariant(&extension, variant, ByteString(v ? "Rev 1" : "Rev 0"),
                                    reinterpret_cast<const uint8_t*>(p1.data()), v ? uint32_t(p1.size()) : 0));
    }
    extension.hasFacts = true;
    extension.facts = extension.variants[0].facts;
    char line[3][80];
    for (int v = 0; v < 2; ++v)
        snprintf(line[v], sizeof line[v], "\r\n需要: Rev %d: %u 位元組, CRC-32 %08X", v,
                 unsigned(files[v][0]->size()), unsigned(Crc(*files[v][0])));
    // The question also names what the file is, as with one patch.
    snprintf(line[2], sizeof line[2], "\r\n此檔案: %u 位元組, CRC-32 %08X", unsigned(other.size()), unsigned(Crc(other)));
    const std::string question = drive::ToCodePage(u"此檔案不是本補丁所需的原始檔案。", CP_ACP) +
                                 drive::ToCodePage(drive::FromUtf8(std::string(line[0]) + line[1] + line[2]), CP_ACP) + "\r\n" + Ansi(u"仍要修補嗎?");
    const std::string kept = Ansi(u"已保留檔案的 512 位元組檔頭。");
    const struct {
        const char* name;
        std::string before;
        const char16_t* message;  // the box's first words; null: asked, and No answered
        bool headerKept;
        std::string after;
    } rows[] = {
        {"rev0.bin", rev0, u"完成! (Rev 0) 總用時:", false, done0},
        {"rev1.bin", rev1, u"完成! (Rev 1) 總用時:", false, done1},
        {"rev0-done.bin", done0, u"此檔案已經修補過了!", false, done0},
        {"rev1-done.bin", done1, u"此檔案已經修補過了!", false, done1},
        {"rev0-header.bin", header + rev0, u"完成! (Rev 0) 總用時:", true, header + done0},
        {"rev1-header.bin", header + rev1, u"完成! (Rev 1) 總用時:", true, header + done1},
        {"rev1-no-header.bin", rev1.substr(512), u"完成! (Rev 1) 總用時:", false, done1.substr(512)},
        {"rev0-no-header.bin", rev0.substr(512), u"此補丁會寫入檔案所沒有的檔頭, 無法修補!", false, rev0.substr(512)},
        {"other.bin", other, nullptr, false, other},
    };
    ByteString block = ComposeDescriptionBlock(ByteString("two revisions"), extension);
    std::string stub;
    ASSERT_TRUE(drive::ReadWholeFile(kStub, &stub));
    auto le32 = [](size_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    ASSERT_TRUE(drive::WriteWholeFile(File("variants.exe"), stub + std::string(block.CStr(), block.Length()) +
                                                                le32(block.Length() + 4) + patch_ + le32(patch_.size() + 4)));
    Start(File("variants.exe"));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = File(row.name);
        ASSERT_TRUE(drive::WriteWholeFile(path, row.before));
        ASSERT_TRUE(drive::SetTextOf(Control(kFileId), path));
        HWND box = ConfirmAndWaitForBox();
        ASSERT_NE(box, nullptr);
        const std::string said = drive::MessageBoxText(box);
        if (row.message) {
            EXPECT_EQ(said.substr(0, Ansi(row.message).size()), Ansi(row.message)) << drive::ToUtf8(said, CP_ACP);
            EXPECT_EQ(said.find(kept) != std::string::npos, row.headerKept) << drive::ToUtf8(said, CP_ACP);
            EXPECT_TRUE(drive::DismissMessageBox(box));
        } else {
            EXPECT_EQ(said, question) << drive::ToUtf8(said, CP_ACP);
            ASSERT_TRUE(drive::AnswerMessageBox(box, IDNO));
            ASSERT_TRUE(drive::Drain(Control(kDescriptionId)));
            EXPECT_EQ(drive::WaitForDialog(Pid(), 0), nullptr);
        }
        std::string now;
        ASSERT_TRUE(drive::ReadWholeFile(path, &now));
        EXPECT_TRUE(now == row.after) << "target as expected";
    }
    ExpectClosesWithZero();
}

// A BPS patcher on a target past 16 MiB: the reference's bytes with the
// original as the .bak, then "already patched"; another file is refused with
// both sizes and CRC-32s and no question; a damaged patch says why. Nothing
// is ever left beside the target.
TEST_F(ProgramTest, BpsPatcherAppliesChecksAndRefuses) {
    std::string original(16 * 1024 * 1024 + 7, '\0');
    for (size_t i = 0; i < original.size(); ++i) original[i] = static_cast<char>(i * 29 + i / 1021);
    std::string result;
    const std::string patch = bpsref::LongPatch(original, &result);
    std::string damaged = patch;
    damaged[patch.size() - 20] ^= 4;
    const std::string other = original.substr(2);
    char facts[96];
    snprintf(facts, sizeof facts, "%zu%s, CRC-32 %08X", original.size(), Ansi(u" 位元組").c_str(),
             bpsref::Crc32(original));
    const std::string wrong = Ansi(u"此檔案不是本補丁所需的原始檔案, 無法修補!") + "\r\n" + Ansi(u"需要: ") + facts +
                              "\r\n" + Ansi(u"此檔案: ") + std::to_string(other.size());
    const struct {
        const char* name;
        const std::string* patch;
        std::string before;
        std::string message;  // its start
        const std::string* after;
    } rows[] = {
        {"original.bin", &patch, original, Ansi(u"完成! 總用時:"), &result},
        {"other.bin", &patch, other, wrong, &other},
        {"damaged.bin", &damaged, original, Ansi(u"程序錯誤!") + "\r\n" + Ansi(u"補丁已損壞 (CRC-32 不符)。"), &original},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Start(MakePatcher("bps.exe", "bps", "BPS", nullptr, row.patch));
        SendMessageA(Control(kBackupId), BM_CLICK, 0, 0);
        const std::string path = File(row.name);
        ASSERT_TRUE(drive::WriteWholeFile(path, row.before));
        const std::string text = RunOn(path);
        EXPECT_EQ(text.substr(0, row.message.size()), row.message) << drive::ToUtf8(text, CP_ACP);
        std::string now, backup;
        ASSERT_TRUE(drive::ReadWholeFile(path, &now));
        EXPECT_TRUE(now == *row.after) << "target as expected";
        const bool patched = row.after == &result;
        EXPECT_EQ(drive::ReadWholeFile(path + ".bak", &backup), patched);
        if (patched) {
            EXPECT_TRUE(backup == original) << "the original became the .bak";
            EXPECT_EQ(SendMessageA(ProgressBar(), PBM_GETPOS, 0, 0), 100);
            EXPECT_EQ(RunOn(path), Ansi(u"此檔案已經修補過了!"));
        }
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((path + ".tessel-*").c_str(), &found);
        EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "a temporary was left: " << found.cFileName;
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
        ExpectClosesWithZero();
    }
}

// A BPS result built beside a target past MAX_PATH is put in its place
// under the same long name, the original kept as the .bak, nothing left.
TEST_F(ProgramTest, BpsPatcherReplacesATargetPastMaxPath) {
    std::string original(4 * 1024 * 1024 + 3, '\0');
    for (size_t i = 0; i < original.size(); ++i) original[i] = static_cast<char>(i * 7 + i / 509);
    std::string result;
    const std::string patch = bpsref::LongPatch(original, &result);
    Start(MakePatcher("bps-long.exe", "bps", "BPS", nullptr, &patch));
    std::u16string folder = drive::FromUtf8(dir_);
    std::vector<std::u16string> levels;
    for (char c : {'c', 'd'}) {
        folder += u"\\" + std::u16string(150, static_cast<char16_t>(c));
        levels.push_back(u"\\\\?\\" + folder);
        CreateDirectoryW(reinterpret_cast<const wchar_t*>(levels.back().c_str()), nullptr);
    }
    const std::u16string path = folder + u"\\long.bin";
    ASSERT_TRUE(drive::WriteWholeFile(path, original));
    SendMessageA(Control(kBackupId), BM_CLICK, 0, 0);
    ASSERT_TRUE(drive::SetTextOf(Control(kFileId), path));
    HWND box = ConfirmAndWaitForBox();
    ASSERT_NE(box, nullptr);
    const std::u16string said = drive::WideTextOf(GetDlgItem(box, 0xFFFF));
    EXPECT_EQ(said.substr(0, 5), u"完成! 總") << drive::ToCodePage(said, CP_UTF8);
    EXPECT_TRUE(drive::DismissMessageBox(box));
    ExpectClosesWithZero();
    std::string now, backup;
    ASSERT_TRUE(drive::ReadWholeFile(path, &now));
    EXPECT_TRUE(now == result) << "the result in the target's place";
    ASSERT_TRUE(drive::ReadWholeFile(path + u".bak", &backup));
    EXPECT_TRUE(backup == original) << "the original became the .bak";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(reinterpret_cast<const wchar_t*>((levels.back() + u"\\*.tmp").c_str()), &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "a temporary was left";
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    DeleteFileW(reinterpret_cast<const wchar_t*>((levels.back() + u"\\long.bin").c_str()));
    DeleteFileW(reinterpret_cast<const wchar_t*>((levels.back() + u"\\long.bin.bak").c_str()));
    for (auto level = levels.rbegin(); level != levels.rend(); ++level)
        RemoveDirectoryW(reinterpret_cast<const wchar_t*>(level->c_str()));
}

// A path pasted in quotes, a file dropped on the window and one named on
// the command line all end in the file box; only 確定 patches. Names the
// ANSI code page cannot spell (Chinese on 1252, Korean on 936) come in as
// UTF-16 and are patched with their backup beside them.
TEST_F(ProgramTest, FilesGetInByQuotesDropAndCommandLine) {
    enum Way { Typed, Dropped, CommandLine };
    const std::string longFolder = std::string(150, 'a') + "\\" + std::string(150, 'b');
    const char* kLongFolder = longFolder.c_str();
    const struct {
        const char* name;  // UTF-8
        Way way;
        const char* before;  // around the path, typed or on the command line
        const char* after;
        const char* locale;  // null: this process's (936), started by ANSI name
        const char* folder;  // UTF-8; a folder of that name holds the target
        bool backup;
    } rows[] = {
        {"quoted.bin", Typed, "\"", "\"", nullptr, nullptr, false},
        {"spaced quoted.bin", Typed, "  \"", "\" ", nullptr, nullptr, false},
        {"dropped.bin", Dropped, "", "", nullptr, nullptr, false},
        {"named on the line.bin", CommandLine, "\"", "\"", nullptr, nullptr, false},
        {"bare.bin", CommandLine, "", "", nullptr, nullptr, false},
        {"typed.bin", Typed, "", "", "en_US.UTF-8", u8"補丁資料夾", true},
        {u8"拖放.bin", Dropped, "", "", "en_US.UTF-8", u8"補丁資料夾", true},
        {"line.bin", CommandLine, "\"", "\"", "en_US.UTF-8", u8"補丁資料夾", true},
        {"typed.bin", Typed, "", "", "zh_CN.UTF-8", u8"한국어 폴더", true},
        {u8"끌어다 놓기.bin", Dropped, "", "", "zh_CN.UTF-8", u8"한국어 폴더", true},
        {"line.bin", CommandLine, "\"", "\"", "zh_CN.UTF-8", u8"한국어 폴더", true},
        // A path past MAX_PATH (two folders of 150 characters).
        {"long.bin", Typed, "", "", nullptr, kLongFolder, true},
    };
    const std::u16string dir = drive::FromUtf8(dir_);
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.locale ? row.locale : "936") + " " + row.name);
        // Each level of the folder made in turn (by its \\?\ name, which
        // takes any length).
        std::u16string folder = dir;
        std::vector<std::u16string> levels;
        for (const char* p = row.folder; p && *p;) {
            const char* end = strchr(p, '\\');
            const std::string level = end ? std::string(p, end) : std::string(p);
            folder += u"\\" + drive::FromUtf8(level);
            levels.push_back(u"\\\\?\\" + folder);
            CreateDirectoryW(reinterpret_cast<const wchar_t*>(levels.back().c_str()), nullptr);
            p = end ? end + 1 : end;
        }
        const std::u16string path = folder + u"\\" + drive::FromUtf8(row.name);
        const std::string old(0x1000, '\0');
        ASSERT_TRUE(drive::WriteWholeFile(path, old)) << "no glibc locale for non-ASCII names?";
        const std::u16string wrapped = drive::FromUtf8(row.before) + path + drive::FromUtf8(row.after);
        if (row.locale) {
            const std::string line = row.way == CommandLine ? drive::ToCodePage(wrapped, CP_UTF8) : "";
            ASSERT_TRUE(drive::Launch(kTessel, &program_, 20000, line, row.locale));
        } else {
            ASSERT_TRUE(drive::Launch(kTessel, &program_, 20000,
                                      row.way == CommandLine ? drive::ToCodePage(wrapped, CP_ACP) : ""));
        }
        if (row.way == Typed) ASSERT_TRUE(drive::SetTextOf(Control(kFileId), wrapped));
        EXPECT_NE(GetWindowLongA(program_.form, GWL_EXSTYLE) & WS_EX_ACCEPTFILES, 0) << "the shell may drop";
        if (row.way == Dropped) ASSERT_TRUE(drive::DropFile(program_.form, Pid(), path));
        ASSERT_TRUE(drive::Drain(Control(kDescriptionId)));
        EXPECT_EQ(drive::WideTextOf(Control(kFileId)), row.way == Typed ? wrapped : path);
        std::string now;
        ASSERT_TRUE(drive::ReadWholeFile(path, &now));
        EXPECT_TRUE(now == old) << "nothing is patched before 確定";
        if (row.backup) SendMessageA(Control(kBackupId), BM_CLICK, 0, 0);
        HWND box = ConfirmAndWaitForBox();
        ASSERT_NE(box, nullptr);
        const std::u16string said = drive::WideTextOf(GetDlgItem(box, 0xFFFF));
        const std::u16string done = row.locale && !strcmp(row.locale, "en_US.UTF-8") ? u"Done! Total time: " : u"完成! 總用時:";
        EXPECT_EQ(said.substr(0, done.size()), done) << drive::ToCodePage(said, CP_UTF8);
        EXPECT_TRUE(drive::DismissMessageBox(box));
        ExpectClosesWithZero();
        std::string patched = old, backup;
        ASSERT_TRUE(drive::ApplyIpsReference(patch_, &patched));
        ASSERT_TRUE(drive::ReadWholeFile(path, &now));
        EXPECT_TRUE(now == patched) << "patched";
        EXPECT_EQ(drive::ReadWholeFile(path + u".bak", &backup), row.backup);
        if (row.backup) EXPECT_TRUE(backup == old) << "the backup beside it holds the original";
        std::string partial;
        EXPECT_FALSE(drive::ReadWholeFile(path + u".bak.partial", &partial)) << "no temporary left";
        DeleteFileW(reinterpret_cast<const wchar_t*>(path.c_str()));
        DeleteFileW(reinterpret_cast<const wchar_t*>((path + u".bak").c_str()));
        for (auto level = levels.rbegin(); level != levels.rend(); ++level)
            RemoveDirectoryW(reinterpret_cast<const wchar_t*>(level->c_str()));
    }
}

}  // namespace
