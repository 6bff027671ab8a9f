// tessel-drive: runs one patch session on a Tessel program the way a user
// would, from outside, and reports what happened. Used by `make demo` and by
// the screenshot test.
//
//   tessel-drive [--backup] [--probe] [--shots DIR] PROGRAM TARGET
//
// Starts PROGRAM, types TARGET into the file box, ticks the backup box when
// asked, presses 確定, prints the message box text (UTF-8) and the number of
// bytes that changed in TARGET, then closes the window. With --shots, at
// "main-window" (path typed) and "success-box" (box shown) it creates
// DIR/want-NAME and waits up to 30 s for DIR/done-NAME, so a script outside
// wine can take a screenshot meanwhile. With --probe, from the click until
// the box appears the bar's position is asked every 20 ms with a 1 s
// timeout, as the system's hung-window check waits, and the answers are
// summed up: how many, the slowest, and the positions with their times.
//
// Exit code 0 when the window was found, a box appeared and the program
// ended with exit code 0; 1 otherwise; 2 for bad usage.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver.h"

namespace {

void Print(const std::string& utf8) {
    // Raw bytes: the caller reads UTF-8 whatever the console code page is.
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()),
              &written, nullptr);
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void Shot(const std::string& dir, const char* name) {
    if (dir.empty()) return;
    std::string want = dir + "\\want-" + name, done = dir + "\\done-" + name;
    DeleteFileA(done.c_str());
    drive::WriteWholeFile(want, name);
    for (int i = 0; i < 3000 && !Exists(done); ++i) Sleep(10);
    if (!Exists(done)) Print(std::string("screenshot ") + name + ": nobody answered\n");
    DeleteFileA(want.c_str());
    DeleteFileA(done.c_str());
}

int Usage() {
    Print("usage: tessel-drive [--backup] [--probe] [--shots DIR] PROGRAM TARGET\n");
    return 2;
}

// Asks the bar for its position until a box of the process shows; prints
// what the probes found and returns the box (null after timeoutMs).
HWND ProbeUntilBox(DWORD pid, HWND bar, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    DWORD probes = 0, unanswered = 0, slowest = 0;
    LRESULT last = -1;
    std::string positions;
    HWND box = nullptr;
    while (GetTickCount() - start < timeoutMs) {
        const std::vector<HWND> boxes = drive::TopLevelWindows(pid, "#32770");
        if (!boxes.empty()) {
            box = boxes.front();
            break;
        }
        const DWORD before = GetTickCount();
        DWORD_PTR position = 0;
        if (!SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, 1000, &position)) ++unanswered;
        const DWORD took = GetTickCount() - before;
        slowest = took > slowest ? took : slowest;
        ++probes;
        if (LRESULT(position) != last) {
            positions += " " + std::to_string(position) + "@" + std::to_string(before - start);
            last = LRESULT(position);
        }
        Sleep(20);
    }
    Print("probes: " + std::to_string(probes) + ", unanswered " + std::to_string(unanswered) + ", slowest " +
          std::to_string(slowest) + " ms\nbar (position@ms):" + positions + "\n");
    return box;
}

}  // namespace

int main(int argc, char** argv) {
    bool backup = false, probe = false;
    std::string shots, program, target;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--backup")) {
            backup = true;
        } else if (!strcmp(argv[i], "--probe")) {
            probe = true;
        } else if (!strcmp(argv[i], "--shots") && i + 1 < argc) {
            shots = drive::WindowsPath(argv[++i]);
        } else if (!strcmp(argv[i], "--help")) {
            Usage();
            return 0;
        } else if (argv[i][0] == '-') {
            return Usage();
        } else if (program.empty()) {
            program = drive::WindowsPath(argv[i]);
        } else if (target.empty()) {
            target = drive::WindowsPath(argv[i]);
        } else {
            return Usage();
        }
    }
    if (program.empty() || target.empty()) return Usage();

    std::string before;
    if (!drive::ReadWholeFile(target, &before)) {
        Print("cannot read " + target + "\n");
        return 1;
    }
    drive::Program app;
    if (!drive::Launch(program, &app)) {
        Print("no window from " + program + "\n");
        drive::Kill(&app);
        return 1;
    }
    HWND edit = drive::Child(app.form, 0x8002), ok = drive::Child(app.form, 0x8001),
         check = drive::Child(app.form, 0x8004), memo = drive::Child(app.form, 0x8005);
    if (!edit || !ok || !check || !memo) {
        Print("the window lacks its controls\n");
        drive::Kill(&app);
        return 1;
    }
    Print("window: " + drive::TextOf(app.form) + "\n");
    Print("description:\n" + drive::ToUtf8(drive::TextOf(memo), CP_ACP) + "\n");

    drive::SetTextOf(edit, target);
    if (backup && SendMessageA(check, BM_GETCHECK, 0, 0) != BST_CHECKED)
        SendMessageA(check, BM_CLICK, 0, 0);
    Print("typed: " + target + (backup ? " (backup ticked)" : "") + "\n");
    Shot(shots, "main-window");

    HWND bar = drive::Child(app.form, 0, "obj_msctls_progress32");
    drive::Click(ok);
    DWORD start = GetTickCount();
    HWND box = probe && bar ? ProbeUntilBox(app.process.dwProcessId, bar, 120000)
                            : drive::WaitForDialog(app.process.dwProcessId, 60000);
    if (!box) {
        Print("no message box\n");
        drive::Kill(&app);
        return 1;
    }
    Print("message box \"" + drive::TextOf(box) + "\": " +
          drive::ToUtf8(drive::MessageBoxText(box), CP_ACP) + "  (after " +
          std::to_string(GetTickCount() - start) + " ms)\n");
    if (bar) Print("progress: " + std::to_string(SendMessageA(bar, PBM_GETPOS, 0, 0)) + "\n");
    Shot(shots, "success-box");
    drive::DismissMessageBox(box);

    std::string after;
    drive::ReadWholeFile(target, &after);
    size_t changed = 0, added = after.size() > before.size() ? after.size() - before.size() : 0;
    for (size_t i = 0; i < after.size() && i < before.size(); ++i) changed += after[i] != before[i];
    Print("changed: " + std::to_string(changed) + " bytes in place, " + std::to_string(added) +
          " bytes added; size " + std::to_string(before.size()) + " -> " +
          std::to_string(after.size()) + "\n");
    if (backup) {
        std::string saved;
        bool same = drive::ReadWholeFile(target + ".bak", &saved) && saved == before;
        Print(std::string("backup: ") + target + ".bak " +
              (same ? "holds the old content" : "MISSING OR DIFFERENT") + "\n");
    }

    DWORD code = 1;
    if (!drive::Close(&app, &code)) {
        Print("the program did not end\n");
        drive::Kill(&app);
        return 1;
    }
    Print("exit code: " + std::to_string(code) + "\n");
    return code == 0 ? 0 : 1;
}
