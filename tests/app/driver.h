// Drives a running Tessel from another process through real window
// messages, as a user's clicks and typing would: shared by the end-to-end
// tests and the tessel-drive program (make demo, screenshots).
//
// Cross-process rules relied on: WM_SETTEXT and WM_GETTEXT are marshalled
// between processes; BM_CLICK on a button that opens a modal window must be
// posted (SendMessage would wait inside the modal loop); posted messages of
// one thread are handled in the order they were posted.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace drive {

struct Program {
    PROCESS_INFORMATION process = {};
    HWND form = nullptr;
};

// "/unix/path" -> "Z:\unix\path" (wine maps Z: to /); other paths unchanged.
std::string WindowsPath(const std::string& path);

// Starts exe (with arguments after its quoted name; in a wine of its own
// with LC_ALL=locale when a locale is given, which picks the program's ANSI
// code page, and then the arguments are UTF-8) and waits until its main form (class "obj_Form") is visible.
bool Launch(const std::string& exe, Program* program, DWORD timeoutMs = 20000,
            const std::string& arguments = std::string(), const char* locale = nullptr);
// Runs a Unix command line (its first word a Unix path; the line in UTF-8,
// so any name can be on it) beside this wine
// and waits for the first new main form: how a program is started that no
// ANSI text can name, or under another locale.
bool LaunchFromUnix(const std::string& unixCommand, Program* program, DWORD timeoutMs = 20000);
// Unix path of the wine loader for programs of this build's word size.
const char* WineLoader();
// WM_CLOSE to the form, then waits for the process; false on timeout.
bool Close(Program* program, DWORD* exitCode, DWORD timeoutMs = 20000);
// Ends the process if it is still running (tests clean up after a failure).
void Kill(Program* program);

// Visible top-level windows of the process (pid 0: of every process) with
// this class, oldest first.
std::vector<HWND> TopLevelWindows(DWORD pid, const char* className);
// Waits for a visible top-level window of class "#32770" of the process
// (message box or common dialog); null on timeout.
HWND WaitForDialog(DWORD pid, DWORD timeoutMs);

// Child window with this control id (GWLP_ID), or the first child of the
// class when id is -1.
HWND Child(HWND parent, int id, const char* className = nullptr);
std::string ClassOf(HWND window);
std::string TextOf(HWND window);         // WM_GETTEXT, bytes in the ANSI code page
// WM_GETTEXT through the W call: the text as the window's own process
// converted it, whatever the code page of either process.
std::u16string WideTextOf(HWND window);
bool SetTextOf(HWND window, const std::string& text);
bool SetTextOf(HWND window, const std::u16string& text);  // WM_SETTEXT through the W call
// Rectangle of a child in its parent's client coordinates.
RECT ChildRect(HWND child);

// Posts BM_CLICK.
void Click(HWND button);
// Returns once the thread of `window` has handled everything posted to it
// before this call: posts a new text limit to `marker` (an edit box of
// the same thread) and waits for it to take effect. A modal window opened by an
// earlier posted message handles the marker in its own loop, so that window
// exists by the time this returns.
bool Drain(HWND marker, DWORD timeoutMs = 10000);

// Text of a message box (its Static 0xFFFF) and dismissal through IDOK.
std::string MessageBoxText(HWND box);
bool DismissMessageBox(HWND box, DWORD timeoutMs = 10000);
// Presses one button of a message box (IDYES, IDNO...) and waits for it to go.
bool AnswerMessageBox(HWND box, int button, DWORD timeoutMs = 10000);

// A file dropped on window as the shell drops one: a DROPFILES record
// written into the process's memory and WM_DROPFILES posted with it. The
// record is plain memory, not a global handle: GlobalLock hands such a
// pointer back unchanged, and DragFinish's free of it fails harmlessly.
bool DropFile(HWND window, DWORD pid, const std::string& path);
// The same with a UTF-16 name (DROPFILES.fWide), as the shell drops any name.
bool DropFile(HWND window, DWORD pid, const std::u16string& path);
bool DropFile(HWND window, DWORD pid, const std::string& pathBytes, bool wide);

// Code-page conversions for comparisons and printing.
std::string ToCodePage(const std::u16string& text, UINT codePage);
std::string ToUtf8(const std::string& text, UINT fromCodePage);
std::u16string FromUtf8(const std::string& text);

// Whole file, or false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* bytes);
bool WriteWholeFile(const std::string& path, const std::string& bytes);
// By a UTF-16 name, which no ANSI code page limits.
bool ReadWholeFile(const std::u16string& path, std::string* bytes);
bool WriteWholeFile(const std::u16string& path, const std::string& bytes);

// An IPS block applied to a byte image the simple way (data and run
// records, no end marker): the reference the tests compare targets with.
bool ApplyIpsReference(const std::string& ips, std::string* image);

}  // namespace drive
