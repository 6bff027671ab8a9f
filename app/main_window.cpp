#include "app/main_window.h"

#include <windows.h>
#include <commctrl.h>
#include <string.h>

#include "app/app_texts.h"
#include "app/carried_patch.h"
#include "patch/byte_stream.h"
#include "app/file_dialog.h"
#include "app/file_input.h"
#include "platform/clock.h"
#include "platform/conversions.h"
#include "platform/file_handle.h"
#include "patch/patch_variants.h"
#include "patch/target_check.h"
#include "ui/controls.h"
#include "ui/gdi_tool.h"
#include "ui/message_routing.h"
#include "ui/properties.h"
#include "ui/widget.h"

int NotifyUser(const ByteString& message, uint32_t type) {
    HWND owner = nullptr;
    WideString title;
    if (mainWidget) {
        // The form's existing window only: a message box never creates it.
        owner = mainWidget->handle;
        title = Utf8ToWideText(mainWidget->text);
    }
    return MessageBoxW(owner, reinterpret_cast<const WCHAR*>(Utf8ToWideText(message).CStr()),
                       title.Empty() ? nullptr : reinterpret_cast<const WCHAR*>(title.CStr()), type);
}

namespace {

// The patch run's touch points with this window: the backup box, the
// question about a target the patch was not made for, the progress bar,
// the message box that reports the result, and keeping the window alive
// while a long run works.
class WindowRunHooks : public PatchRunHooks {
public:
    WindowRunHooks(MainWindow* window, const ByteString& targetPath)
        : window_(window), targetPath_(targetPath), lastPulse_(TickCount()) {}
    bool WantsBackup() override { return GetChecked(window_->chkBackup); }
    void Progress(uint32_t percent) override { SetProgress(window_->prgPatch, static_cast<int>(percent)); }
    bool ProceedWithUnknownTarget() override;
    void StillWorking() override;
    void Finished(const PatchRunReport& report) override {
        // A declined run has already had its box: the question.
        if (report.result == PatchResultDeclined) return;
        UINT icon = report.result == PatchResultAlreadyPatched ? MB_ICONINFORMATION
                    : report.result == PatchResultWrongSource || report.result == PatchResultHeaderRefused
                        ? MB_ICONWARNING
                                                              : 0;
        NotifyUser(RunResultText(report, targetPath_), MB_OK | icon);
    }

private:
    MainWindow* window_;             // borrowed: the window outlives the run
    const ByteString& targetPath_;   // borrowed: the caller's, for the run's length
    DWORD lastPulse_;
};

// The question names what the patch expects (each variant's source, or
// the original) and what the chosen file is: what players and publishers
// compare when they ask for help. Asked only of a patcher that carries
// the original's size and CRC-32 or variants.
bool WindowRunHooks::ProceedWithUnknownTarget() {
    const PayloadExtension* extension = carriedExtension;
    if (!carriedFacts && !(extension && extension->variantCount)) return false;
    // The run may hold the target open for writing while it asks: the look
    // must share writing with it, or Windows refuses the open.
    uint32_t size = 0, crc = 0;
    FileHandle file = OpenFileHandle(targetPath_, OpenModeReadBesideWriter);
    FileSizeAndCrc(file, &size, &crc);
    CloseFileHandle(file);
    // No is the default button: Enter alone must not patch a wrong file.
    return NotifyUser(NotOriginalQuestion(carriedFacts, size, crc),
                      MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

// Windows marks a window "Not Responding" when its thread leaves messages
// waiting for 5 seconds, and invites the user to kill it, which would leave
// a half-patched file. Every 100 ms of work the bar is repainted and the
// queue is looked at: PeekMessage delivers messages other threads sent
// (WM_NULL probes among them) and shows the system the thread is alive,
// while PM_NOREMOVE leaves input queued, so the window still takes no
// clicks until the run ends.
void WindowRunHooks::StillWorking() {
    const DWORD now = TickCount();
    if (now - lastPulse_ < 100) return;
    lastPulse_ = now;
    if (window_->prgPatch->handle) UpdateWindow(window_->prgPatch->handle);
    MSG message;
    PeekMessageW(&message, NULL, 0, 0, PM_NOREMOVE | PM_NOYIELD);
}

bool g_running;       // a run is under way
bool g_closeAfterRun; // and a close was asked for meanwhile

// WM_CLOSE while a run works (the title bar's button or Alt+F4 reach the
// form through the question's message box; another program's close is
// delivered while the run looks at its queue). Closing then would destroy
// the form and free the carried patch under the run, and the WM_QUIT it
// posts ends the result's message box before it shows: the user would
// never learn that a run failed. The close waits for the run instead.
bool DeferCloseDuringRun(Widget*, MessageRecord* record, LRESULT* result) {
    if (record->message != WM_CLOSE || !g_running) return false;
    g_closeAfterRun = true;
    *result = 0;
    return true;
}

}  // namespace

void MainWindow::applyPatch(const ByteString& targetPath) {
    // A message delivered while the run looks at its queue could lead back
    // here; one run at a time.
    if (g_running) return;
    g_running = true;
    WindowRunHooks hooks(this, targetPath);
    if (carriedExtension && carriedExtension->variantCount && patchStream)
        ApplyPatchVariants(patchStream->block, patchStream->size, *carriedExtension, -1, targetPath, &hooks, nullptr);
    else
        ApplyPatch(patchStream, targetPath, &hooks, nullptr, carriedFacts);
    g_running = false;
    // The result has been shown (Finished): now the close asked for.
    if (g_closeAfterRun && frmMain && frmMain->handle) PostMessageA(frmMain->handle, WM_CLOSE, 0, 0);
    g_closeAfterRun = false;
}

void onBrowseClick(void* context, RefObject*) {
    MainWindow* window = static_cast<MainWindow*>(context);
    FileDialog* dialog = window->dlgFile;
    if (!dialog) return;
    dialog->fileName = ByteString();
    dialog->filter = ByteString("*.*|*.*");
    if (dialog->execute()) SetText(window->edtFile, dialog->fileName);
}

void onOkClick(void* context, RefObject*) {
    MainWindow* window = static_cast<MainWindow*>(context);
    // GetText reads the edit window, so a typed path counts like a chosen
    // one; a pasted path may come in quotes.
    ByteString path = TrimTypedPath(GetText(window->edtFile));
    if (IsExistingFile(path)) window->applyPatch(path);
}

void onFormDestroy(void*, RefObject*) {
    // Cleared as well as released: LoadPatchContainer releases whatever the
    // variable holds, so a stale pointer here would be freed twice if the
    // window were ever built again in this process.
    ReleaseAndClear(patchStream);
}

void prepareMainWindow(MainWindow* window) {
    LoadMessageTexts();
    SetText(window->btnBrowse, msgBrowse);
    SetText(window->btnOk, msgOk);
    // The check box sizes itself to its caption here (auto-size is on).
    SetText(window->chkBackup, msgBackup);

    // The form's caption is also every message box's title (NotifyUser).
    ByteString title;
    ByteString description = LoadPatchContainer(&title);
    SetText(window->frmMain, title.Empty() ? ByteString("Tessel") : title);
    SetText(window->memDescription, description);
}

namespace {

// The form, recorded as the program's main form and as the owner of the
// MainWindow; its window is made (hidden) to size its client area.
Widget* makeMainForm(MainWindow* window, Widget* parent) {
    Widget* form = MakeForm(parent, ByteString("frmMain"));
    if (!form) return nullptr;
    SetPosition(form, 192, 114);
    // Measuring the client area creates the form's window, still hidden.
    SetClientSize(form, FormClientWidth, FormClientHeight);
    window->frmMain = form;
    mainWidget = form;
    AddAutoFree(form, window);
    SetStyle(form, form->style & ~static_cast<uint32_t>(WS_MAXIMIZEBOX));
    return form;
}

// Set before any control exists: controls share this font's HFONT only as
// long as their copies stay equal to it.
// The whole description is written at once and announced with one
// ToolChanged: the form's window gets one new HFONT, not one per field.
void setFormFont(Widget* form) {
    GdiTool* font = GetFont(form);
    if (!font) return;
    // Black, 12 pixels, ANSI_CHARSET, Arial; every other field 0 (tools
    // compare all their data bytes, the face name's tail included).
    memset(&font->data, 0, sizeof(font->data));
    font->data.toolColor = 0;
    font->data.logFont.lfHeight = -12;
    font->data.logFont.lfCharSet = ANSI_CHARSET;
    memcpy(font->data.logFont.lfFaceName, "Arial", sizeof("Arial"));
    ToolChanged(font);
}

// The controls and what they answer to (clicks, a file dropped on the form).
// Creation order fixes the control ids (0x8000 upwards; the progress bar's
// id is 0 but it uses up 0x8003) and makes btnBrowse, the first tab stop,
// the control that gets the focus first.
void makeControls(MainWindow* window, Widget* form) {
    // The captions come with the texts (prepareMainWindow).
    const ByteString none;
    window->btnBrowse = SetSize(SetPosition(MakeButton(form, none), 216, 136), 49, 23);
    window->btnOk = SetSize(SetPosition(MakeButton(form, none), 216, 170), 49, 23);
    window->edtFile = SetSize(SetPosition(MakeEdit(form, 0), 8, 136), 201, 23);
    window->prgPatch = SetSize(SetPosition(MakeProgressBar(form), 56, 176), 153, 15);
    window->chkBackup = SetAutoSize(SetPosition(MakeCheckBox(form, none), 8, 175), true);
    window->memDescription =
        SetSize(SetPosition(MakeEdit(form, NoHorzScroll | MultiLine), 8, 8), 257, 121);

    window->btnBrowse->OnClick.code = onBrowseClick;
    window->btnBrowse->OnClick.context = window;
    window->btnOk->OnClick.code = onOkClick;
    window->btnOk->OnClick.context = window;
    AcceptDroppedFiles(form, window->edtFile);
}

// Centres the form and locks its size with a client area of exactly
// FormClientWidth x FormClientHeight.
void fixFormSize(Widget* form) {
    // SetCanResize below takes the sizing frame away, and the thinner frame
    // left in its place would widen the client area by the difference (2
    // pixels each way) inside the same outer size. Take the frame away now
    // and size the client area again, so that the size centred and locked
    // below holds a client area of exactly 275 x 205.
    SetStyle(form, form->style & ~static_cast<uint32_t>(WS_THICKFRAME));
    SetClientSize(form, FormClientWidth, FormClientHeight);

    CenterOnParent(form);
    SetCanResize(form, false);
}

}  // namespace

void createMainWindow(MainWindow** variable, Widget* parent) {
    MainWindow* window = CreateObject<MainWindow>();
    *variable = window;
    if (!window) return;

    Widget* form = makeMainForm(window, parent);
    if (!form) return;
    setFormFont(form);
    form->OnDestroy.code = onFormDestroy;
    form->OnDestroy.context = window;
    AddMessageHandler(form, DeferCloseDuringRun, true);

    window->dlgFile = newFileDialog(ByteString(), ByteString(), 0);
    if (window->dlgFile) AddAutoFree(form, window->dlgFile);

    InitCommonControlClasses(ICC_WIN95_CLASSES);
    makeControls(window, form);

    SetColor(window->edtFile, ColorWindow);
    if (window->dlgFile) window->dlgFile->ownerWindow = EnsureHandle(form);
    SetColor(window->memDescription, ColorBtnFace);

    fixFormSize(form);
    prepareMainWindow(window);
}
