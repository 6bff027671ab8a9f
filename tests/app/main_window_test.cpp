// The main window built in-process: what createMainWindow leaves behind,
// the wiring of the patch run to the window, NotifyUser's owner and title,
// and the order in which shutdown releases things.
//
// ctest runs every test in a process of its own: MessageLoop leaves the
// layer terminated, so the shutdown test must not share a process.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/app_texts.h"
#include "app/file_dialog.h"
#include "app/main_window.h"
#include "patch/byte_stream.h"
#include "patch/patch_run.h"
#include "patch/target_check.h"
#include "platform/conversions.h"
#include "platform/file_handle.h"
#include "app/carried_patch.h"
#include "driver.h"
#include "ui/controls.h"
#include "ui/gdi_tool.h"
#include "ui/message_routing.h"
#include "ui/properties.h"
#include "ui/widget.h"

namespace {

// Waits on another thread for this process's message box, notes what it
// shows and presses OK, so the test thread can sit in MessageBoxA.
class BoxWatcher {
public:
    BoxWatcher() : thread_([this] { Watch(); }) {}
    ~BoxWatcher() {
        if (thread_.joinable()) thread_.join();
    }
    void Join() { thread_.join(); }
    bool seen = false;
    HWND owner = nullptr;
    std::string title, text;

private:
    void Watch() {
        HWND box = drive::WaitForDialog(GetCurrentProcessId(), 15000);
        if (!box) return;
        seen = true;
        owner = GetWindow(box, GW_OWNER);
        // As UTF-8, the form the program's texts take.
        title = drive::ToCodePage(drive::WideTextOf(box), CP_UTF8);
        text = drive::ToCodePage(drive::WideTextOf(GetDlgItem(box, 0xFFFF)), CP_UTF8);
        drive::DismissMessageBox(box);
    }
    std::thread thread_;
};

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        moduleInstance = GetModuleHandleA(nullptr);
        createMainWindow(&window_, nullptr);
        ASSERT_NE(window_, nullptr);
        ASSERT_NE(window_->frmMain, nullptr);
    }
    void TearDown() override {
        // Without the run loop: release the form as Shutdown would, but leave
        // the layer running.
        if (window_ && window_->frmMain) {
            Widget* form = window_->frmMain;
            window_->frmMain = nullptr;
            mainWidget = nullptr;
            Release(form);
        }
    }
    MainWindow* window_ = nullptr;
};

TEST_F(MainWindowTest, ControlsCarryIdsFontsAndColours) {
    MainWindow* w = window_;
    EXPECT_EQ(mainWidget, w->frmMain);
    struct Row {
        Widget* control;
        uint32_t id;
        uint32_t color;
    } rows[] = {
        {w->btnBrowse, 0x8000, ColorBtnFace}, {w->btnOk, 0x8001, ColorBtnFace},
        {w->edtFile, 0x8002, ColorWindow},    {w->prgPatch, 0, ColorBtnFace},
        {w->chkBackup, 0x8004, ColorBtnFace}, {w->memDescription, 0x8005, ColorBtnFace},
    };
    // The first control's id tells where this process's counter started.
    uint32_t base = w->btnBrowse->controlId - 0x8000;
    // A form's window keeps no font (DefWindowProcA ignores WM_SETFONT), so
    // the form's own font tool is the reference.
    ASSERT_NE(w->frmMain->font, nullptr);
    HFONT formFont = reinterpret_cast<HFONT>(ToolHandle(w->frmMain->font));
    ASSERT_NE(formFont, nullptr);
    LOGFONTA lf = {};
    ASSERT_EQ(GetObjectA(formFont, sizeof lf, &lf), static_cast<int>(sizeof lf));
    EXPECT_EQ(lf.lfHeight, -12);
    EXPECT_STREQ(lf.lfFaceName, "Arial");
    EXPECT_EQ(lf.lfCharSet, ANSI_CHARSET);
    for (const Row& row : rows) {
        ASSERT_NE(row.control, nullptr);
        SCOPED_TRACE(row.control->className);
        EXPECT_EQ(row.control->parent, w->frmMain);
        EXPECT_EQ(row.control->controlId, row.id ? row.id + base : 0);
        EXPECT_EQ(row.control->color, row.color);
        if (row.control == w->prgPatch) continue;  // a progress bar keeps no font
        HWND handle = EnsureHandle(row.control);
        EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(handle, WM_GETFONT, 0, 0)), formFont)
            << "every control shares the form's 12-pixel Arial";
    }
    RECT client;
    GetClientRect(w->frmMain->handle, &client);
    EXPECT_EQ(client.right, 275) << "with the sizing frame gone";
    EXPECT_EQ(client.bottom, 205);
    EXPECT_EQ(w->frmMain->currentControl, w->btnBrowse);
    EXPECT_FALSE(w->frmMain->style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(w->frmMain->style & WS_THICKFRAME);
    EXPECT_FALSE(IsWindowVisible(w->frmMain->handle)) << "hidden until the run loop";
    ASSERT_NE(w->dlgFile, nullptr);
    EXPECT_EQ(w->dlgFile->ownerWindow, w->frmMain->handle);
    EXPECT_EQ(w->dlgFile->options, DefaultFileDialogOptions);
    // The test program carries no payload: empty description, empty patch.
    EXPECT_TRUE(GetText(w->memDescription).Empty());
    ASSERT_NE(patchStream, nullptr);
    EXPECT_EQ(StreamGetSize(patchStream), 0u);
    // The texts are UTF-8 whatever the code page.
    EXPECT_EQ(msgDone, ByteString(u8"完成! 總用時:"));
    EXPECT_EQ(msgWriteFailed, ByteString(u8"寫入失敗!"));
    EXPECT_EQ(msgBackupFailed, ByteString(u8"備份失敗!"));
}

TEST_F(MainWindowTest, PatchRunIsWiredToCheckBoxBarAndMessageBox) {
    // A one-record patch in place of the (absent) carried one.
    const char block[] = "PATCH\x00\x00\x02\x00\x03xyz";
    ReleaseAndClear(patchStream);
    patchStream = CreateMemoryStream();
    ASSERT_EQ(StreamWrite(patchStream, block, sizeof block - 1), sizeof block - 1);

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string path = std::string(temp) + "tessel-wiring-" + std::to_string(GetCurrentProcessId());
    struct Row {
        bool backup;
    } rows[] = {{false}, {true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.backup);
        DeleteFileA((path + ".bak").c_str());
        ASSERT_TRUE(drive::WriteWholeFile(path, "abcdefgh"));
        SendMessageA(EnsureHandle(window_->chkBackup), BM_SETCHECK,
                     row.backup ? BST_CHECKED : BST_UNCHECKED, 0);
        SendMessageA(EnsureHandle(window_->prgPatch), PBM_SETPOS, 42, 0);

        BoxWatcher watcher;
        window_->applyPatch(ByteString(path.c_str()));
        watcher.Join();

        std::string now;
        ASSERT_TRUE(drive::ReadWholeFile(path, &now));
        EXPECT_EQ(now, "abxyzfgh");
        EXPECT_EQ(GetFileAttributesA((path + ".bak").c_str()) != INVALID_FILE_ATTRIBUTES, row.backup);
        EXPECT_EQ(SendMessageA(window_->prgPatch->handle, PBM_GETPOS, 0, 0), 100);
        ASSERT_TRUE(watcher.seen);
        EXPECT_EQ(watcher.owner, window_->frmMain->handle);
        EXPECT_EQ(watcher.title, "Tessel");
        EXPECT_EQ(watcher.text.compare(0, msgDone.Length(), msgDone.CStr()), 0);
    }
    DeleteFileA(path.c_str());
    DeleteFileA((path + ".bak").c_str());
}

TEST(RunResultText, EachResultInTheProgramsWords) {
    LoadMessageTexts();
    PatchRunReport report = {};
    report.elapsedMs = 1234;
    struct Row {
        PatchResult result;
        const char16_t* text;
    } rows[] = {
        // The three parts joined with nothing in between.
        {PatchResultDone, u"完成! 總用時:1234 ms"},
        {PatchResultMalformed, u"程序錯誤!"},
        {PatchResultWriteFailed, u"寫入失敗!"},
        {PatchResultBackupFailed, u"備份失敗!"},
        // Only here does the box say more than 寫入失敗!.
        {PatchResultRestoreFailed, u"寫入失敗!\r\n檔案可能已損壞!\r\n原檔備份: C:\\t.bin.bak"},
    };
    report.backupMade = true;
    for (const Row& row : rows) {
        report.result = row.result;
        EXPECT_EQ(RunResultText(report, ByteString("C:\\t.bin")), WideToUtf8Text(row.text, WideLength(row.text)))
            << int(row.result);
    }
    // An interrupted run put back first is said before the result.
    report.result = PatchResultDone;
    report.interruptedRunRestored = true;
    const char16_t* restored = u"上次修補未完成, 檔案已還原。\r\n完成! 總用時:1234 ms";
    EXPECT_EQ(RunResultText(report, ByteString("C:\\t.bin")), WideToUtf8Text(restored, WideLength(restored)));
}

// A failure with the system's error code: the result, the system's own
// words for the code (FormatMessageW) and, for the usual causes, what to do.
TEST(RunResultText, FailuresSayWhyAndWhatToDo) {
    LoadMessageTexts();
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string readOnly = std::string(temp) + "tessel-ro-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(drive::WriteWholeFile(readOnly, "r"));
    ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    struct Row {
        PatchResult result;
        DWORD code;
        std::string path;
        const char16_t* first;  // the result line
        const char16_t* last;   // the advice line; null: the system's words end the text
    } rows[] = {
        {PatchResultWriteFailed, ERROR_SHARING_VIOLATION, "C:\\t.bin", u"寫入失敗!", u"檔案正被其他程式使用: 請關閉該程式後再試。"},
        {PatchResultWriteFailed, ERROR_LOCK_VIOLATION, "C:\\t.bin", u"寫入失敗!", u"檔案正被其他程式使用: 請關閉該程式後再試。"},
        {PatchResultWriteFailed, ERROR_ACCESS_DENIED, readOnly, u"寫入失敗!", u"檔案為唯讀: 請在檔案「內容」中取消「唯讀」後再試。"},
        {PatchResultBackupFailed, ERROR_ACCESS_DENIED, "C:\\t.bin", u"備份失敗!",
         u"沒有寫入此檔案的權限: 請把它複製到自己的資料夾, 或以系統管理員身分執行。"},
        {PatchResultWriteFailed, ERROR_FILE_NOT_FOUND, "C:\\t.bin", u"寫入失敗!", nullptr},
        // No room is needed (the target does not grow): no advice.
        {PatchResultWriteFailed, ERROR_DISK_FULL, "C:\\t.bin", u"寫入失敗!", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        PatchRunReport report = {};
        report.result = row.result;
        report.systemError = row.code;
        const std::u16string text = drive::FromUtf8(RunResultText(report, ByteString(row.path.c_str())).CStr());
        const std::u16string reason = drive::FromUtf8(FileErrorText(row.code).CStr());
        ASSERT_FALSE(reason.empty()) << "the system has words for every code here";
        std::u16string expected = std::u16string(row.first) + u"\r\n" + reason;
        if (row.last) expected += u"\r\n" + std::u16string(row.last);
        EXPECT_EQ(text, expected);
    }
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(readOnly.c_str());

    // A full disk names the room the step needs, in whole KiB rounded up.
    const struct {
        uint32_t bytes;
        const char* kib;
    } room[] = {{1, "1"}, {1024, "1"}, {1025, "2"}, {0xFFFFFFFFu, "4194304"}};
    for (const auto& r : room) {
        const ByteString full = FailureReason(ERROR_DISK_FULL, ByteString("C:\\t.bin"), r.bytes);
        const std::string said(full.CStr()), advice = std::string(u8"\r\n磁碟空間不足: 本次需要 ") + r.kib +
                                                        u8" KB 可用空間, 請清出空間後再試。";
        EXPECT_EQ(said.substr(said.size() - std::min(said.size(), advice.size())), advice) << r.bytes;
    }

    // BPS: the reason under the first line, and the facts of a wrong source
    // or of missing room.
    PatchRunReport report = {};
    report.format = PatchFormatBps;
    report.bps.scan.header.sourceSize = 1048576;
    report.bps.scan.header.sourceCrc = 0x0A2B3C4D;
    report.bps.foundSize = 5;
    report.bps.foundCrc = 0xFFFFFFFF;
    report.bps.roomNeeded = 4294967295u;
    report.bps.roomFree = 1ull << 40;  // past 32 bits: shown as its lower bound
    const struct {
        PatchResult result;
        BpsProblem problem;
        const char16_t* text;
    } bpsRows[] = {
        {PatchResultMalformed, BpsProblemPatchCrc, u"程序錯誤!\r\n補丁已損壞 (CRC-32 不符)。"},
        {PatchResultMalformed, BpsProblemOutsideSource, u"程序錯誤!\r\n補丁格式錯誤。"},
        {PatchResultWrongSource, BpsProblemNone,
         u"此檔案不是本補丁所需的原始檔案, 無法修補!\r\n需要: 1048576 位元組, CRC-32 0A2B3C4D\r\n"
         u"此檔案: 5 位元組, CRC-32 FFFFFFFF"},
        {PatchResultNoRoom, BpsProblemNone, u"磁碟空間不足!\r\n需要: 4294967295 位元組\r\n可用: 4294967295 位元組"},
        {PatchResultAlreadyPatched, BpsProblemNone, u"此檔案已經修補過了!"},
    };
    for (const auto& row : bpsRows) {
        report.result = row.result;
        report.bps.scan.problem = row.problem;
        EXPECT_EQ(RunResultText(report, ByteString("C:\\t.bin")), WideToUtf8Text(row.text, WideLength(row.text)))
            << int(row.result);
    }
}

// A long run keeps its window answering: another thread's WM_NULL probes,
// sent with a 1 s timeout as the system's hung-window check sends them
// (Windows calls a window "Not Responding" after 5 s), are all answered
// within that second, and answered during the run, not only once it is
// over, while 11 million records are applied. Nothing here races a tight
// bound: a busy machine may hold a probe up a few hundred milliseconds,
// but without the run looking at its queue every 100 ms the first probe
// would wait for the end of the run and none would be answered during it.
TEST_F(MainWindowTest, LongRunKeepsAnsweringMessages) {
    std::string block = "PATCH";
    const uint32_t records = 11000000;
    block.reserve(5 + records * 6);
    for (uint32_t i = 0; i < records; ++i) {
        const uint32_t offset = (i * 3) % 0xFFFFF0 + ((i * 3) % 0xFFFFF0 == 0x454F46 ? 1 : 0);
        const char record[6] = {char(offset >> 16), char(offset >> 8), char(offset), 0, 1, char(i)};
        block.append(record, 6);
    }
    ReleaseAndClear(patchStream);
    patchStream = CreateMemoryStream();
    ASSERT_EQ(StreamWrite(patchStream, block.data(), uint32_t(block.size())), block.size());
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string path = std::string(temp) + "tessel-long-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(drive::WriteWholeFile(path, std::string(0x1000000, 'x')));

    HWND form = EnsureHandle(window_->frmMain);
    std::atomic<bool> done(false), finished(false), running(true);
    std::atomic<DWORD> slowest(0), probes(0), unanswered(0), answeredWhileRunning(0);
    std::thread prober([&] {
        while (!done) {
            DWORD_PTR result;
            const DWORD before = GetTickCount();
            if (!SendMessageTimeoutA(form, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result))
                ++unanswered;
            else if (running)
                ++answeredWhileRunning;
            slowest = std::max<DWORD>(slowest, GetTickCount() - before);
            ++probes;
            Sleep(20);
        }
        finished = true;
    });
    BoxWatcher watcher;
    const DWORD start = GetTickCount();
    window_->applyPatch(ByteString(path.c_str()));
    running = false;
    const DWORD elapsed = GetTickCount() - start;
    watcher.Join();
    // The last probe may still be on its way: keep answering until it is.
    done = true;
    while (!finished) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        Sleep(5);
    }
    prober.join();
    DeleteFileA(path.c_str());
    printf("long run: %lu ms, %lu probes (%lu answered during it), slowest answer %lu ms\n", elapsed,
           DWORD(probes), DWORD(answeredWhileRunning), DWORD(slowest));
    EXPECT_EQ(watcher.text.compare(0, msgDone.Length(), msgDone.CStr()), 0);
    EXPECT_EQ(unanswered, 0u) << "of " << probes << " probes in a " << elapsed << " ms run: each within 1 s";
    if (elapsed < 400) GTEST_SKIP() << "a " << elapsed << " ms run is too short to tell a stalled window";
    EXPECT_GE(answeredWhileRunning, 2u) << probes << " probes in a " << elapsed << " ms run";
}

// A verified patcher's target is read whole for its CRC-32 and then copied
// to its backup: through both the window answers another thread's probes
// (its bar's position asked with a 1 s timeout, as the system's hung-window
// check waits), and the positions move.
TEST_F(MainWindowTest, IdentificationAndBackupKeepAnsweringAndMoveTheBar) {
    const std::string block("PATCH\0\0\x10\0\x01Z", 11);
    ReleaseAndClear(patchStream);
    patchStream = CreateMemoryStream();
    ASSERT_EQ(StreamWrite(patchStream, block.data(), uint32_t(block.size())), block.size());
    std::string target(128u << 20, 'x');
    const auto crc = [&] { return Crc32Update(0, reinterpret_cast<const uint8_t*>(target.data()), uint32_t(target.size())); };
    TargetFacts facts = {uint32_t(target.size()), crc(), uint32_t(target.size()), 0};
    target[16] = 'Z';
    facts.resultCrc = crc();
    target[16] = 'x';
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string path = std::string(temp) + "tessel-alive-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(drive::WriteWholeFile(path, target));
    std::string().swap(target);
    carriedFacts = &facts;
    SendMessageA(EnsureHandle(window_->chkBackup), BM_SETCHECK, BST_CHECKED, 0);

    EnsureHandle(window_->frmMain);
    HWND bar = EnsureHandle(window_->prgPatch);
    std::atomic<bool> done(false), finished(false);
    DWORD probes = 0, unanswered = 0;
    std::vector<DWORD_PTR> positions;
    std::thread prober([&] {
        while (!done) {
            DWORD_PTR position = 0;
            if (SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, 1000, &position))
                positions.push_back(position);
            else
                ++unanswered;
            ++probes;
            Sleep(5);
        }
        finished = true;
    });
    BoxWatcher watcher;
    const DWORD start = GetTickCount();
    window_->applyPatch(ByteString(path.c_str()));
    const DWORD elapsed = GetTickCount() - start;
    watcher.Join();
    done = true;
    while (!finished) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        Sleep(5);
    }
    prober.join();
    carriedFacts = nullptr;
    DeleteFileA(path.c_str());
    DeleteFileA((path + ".bak").c_str());
    EXPECT_EQ(watcher.text.compare(0, msgDone.Length(), msgDone.CStr()), 0) << watcher.text;
    EXPECT_EQ(unanswered, 0u) << "of " << probes << " probes in a " << elapsed << " ms run";
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    const auto between = std::count_if(positions.begin(), positions.end(), [](DWORD_PTR p) { return p > 0 && p < 100; });
    if (elapsed < 500) GTEST_SKIP() << "a " << elapsed << " ms run is too short to tell";
    EXPECT_GE(between, 2) << probes << " probes in a " << elapsed << " ms run";
    printf("identification and backup: %lu ms, %lu probes, %d positions on the way\n", elapsed, probes, int(between));
}

TEST(NotifyUser, WithoutMainFormHasNoOwnerAndTheDefaultTitle) {
    ASSERT_EQ(mainWidget, nullptr);
    BoxWatcher watcher;
    NotifyUser(ByteString("no form"), MB_OK);
    watcher.Join();
    ASSERT_TRUE(watcher.seen);
    EXPECT_EQ(watcher.owner, nullptr);
    EXPECT_EQ(watcher.text, "no form");
    EXPECT_NE(watcher.title, "Tessel");
    EXPECT_NE(watcher.title, "");
}

// Notes the order in which the watched objects are destroyed.
std::vector<std::string>* destroyLog;
void LogDestroy(void* context, RefObject*) {
    destroyLog->push_back(static_cast<const char*>(context));
}

TEST(Shutdown, ReleasesPatchThenWindowFontDialogOnceEach) {
    std::vector<std::string> log;
    destroyLog = &log;
    moduleInstance = GetModuleHandleA(nullptr);
    MainWindow* window = nullptr;
    createMainWindow(&window, nullptr);
    ASSERT_NE(window, nullptr);
    Widget* form = window->frmMain;
    ASSERT_NE(form, nullptr);
    ASSERT_NE(patchStream, nullptr);
    ASSERT_NE(form->font, nullptr);
    ASSERT_NE(window->dlgFile, nullptr);
    patchStream->OnDestroy = {LogDestroy, const_cast<char*>("patchStream")};
    window->OnDestroy = {LogDestroy, const_cast<char*>("MainWindow")};
    form->font->OnDestroy = {LogDestroy, const_cast<char*>("font")};
    window->dlgFile->OnDestroy = {LogDestroy, const_cast<char*>("FileDialog")};

    // The user closes the window as soon as it is up.
    PostMessageA(form->handle, WM_CLOSE, 0, 0);
    MessageLoop(&window->frmMain);

    EXPECT_EQ(log, (std::vector<std::string>{"patchStream", "MainWindow", "font", "FileDialog"}));
    EXPECT_EQ(mainWidget, nullptr);
    EXPECT_EQ(patchStream, nullptr) << "released by onFormDestroy";
    destroyLog = nullptr;
}

}  // namespace
