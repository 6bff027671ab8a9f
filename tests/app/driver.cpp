#include "driver.h"

#include <commctrl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>

namespace drive {

std::string WindowsPath(const std::string& path) {
    if (path.empty() || path[0] != '/') return path;
    std::string out = "Z:" + path;
    for (char& c : out)
        if (c == '/') c = '\\';
    return out;
}

namespace {

struct FindData {
    DWORD pid;
    const char* className;
    std::vector<HWND>* found;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM lParam) {
    FindData* data = reinterpret_cast<FindData*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if ((data->pid && pid != data->pid) || !IsWindowVisible(window)) return TRUE;
    if (data->className && ClassOf(window) != data->className) return TRUE;
    data->found->push_back(window);
    return TRUE;
}

struct ChildQuery {
    int id;
    const char* className;
    HWND found;
};

BOOL CALLBACK FindChild(HWND window, LPARAM lParam) {
    ChildQuery* query = reinterpret_cast<ChildQuery*>(lParam);
    if (query->id >= 0 && GetWindowLongPtrA(window, GWLP_ID) != query->id) return TRUE;
    if (query->className && ClassOf(window) != query->className) return TRUE;
    query->found = window;
    return FALSE;
}

}  // namespace

std::vector<HWND> TopLevelWindows(DWORD pid, const char* className) {
    std::vector<HWND> found;
    FindData data = {pid, className, &found};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&data));
    return found;
}

// wine64 for the x86_64 tests; Debian's 32-bit loader, which the i386 root
// holds, for the i686 ones.
const char* WineLoader() {
#ifdef _WIN64
    return "/usr/lib/wine/wine64";
#else
    return "/usr/lib/wine/wine";
#endif
}

namespace {

// Wine takes a process's ANSI code page from LC_ALL in its Unix
// environment, and a child started through CreateProcess gets its parent's.
// Another code page therefore needs a fresh wine started from Unix (through
// env, which wine runs as a Unix program). Its process is then found
// through the form it shows: the first one that was not there before.
bool LaunchUnderLocale(const std::string& exe, const std::string& arguments, const char* locale,
                       Program* program, DWORD timeoutMs) {
    std::string unixExe = exe.compare(0, 2, "Z:") == 0 ? exe.substr(2) : exe;
    for (char& c : unixExe)
        if (c == '\\') c = '/';
    return LaunchFromUnix("/usr/bin/env LC_ALL=" + std::string(locale) + " " + WineLoader() + " \"" + unixExe +
                              "\" " + arguments,
                          program, timeoutMs);
}

}  // namespace

bool LaunchFromUnix(const std::string& unixCommand, Program* program, DWORD timeoutMs) {
    // Wine runs a Unix program named by its Z: path; the rest of the line
    // goes to it as it is.
    const size_t space = unixCommand.find(' ');
    std::string line = WindowsPath(unixCommand.substr(0, space)) +
                       (space == std::string::npos ? std::string() : unixCommand.substr(space));
    std::vector<HWND> before = TopLevelWindows(0, "obj_Form");
    // The line is UTF-8 and goes out as UTF-16, so a name in any script
    // reaches the Unix program (and a wine under another locale) whole.
    std::u16string wideLine = FromUtf8(line);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION unixProcess = {};
    if (!CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(&wideLine[0]), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &unixProcess))
        return false;
    CloseHandle(unixProcess.hProcess);
    CloseHandle(unixProcess.hThread);
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        for (HWND form : TopLevelWindows(0, "obj_Form")) {
            bool seen = false;
            for (HWND old : before) seen = seen || old == form;
            if (seen) continue;
            program->process.dwThreadId = GetWindowThreadProcessId(form, &program->process.dwProcessId);
            program->process.hProcess =
                OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION |
                                PROCESS_VM_WRITE,
                            FALSE, program->process.dwProcessId);
            program->form = form;
            return program->process.hProcess != nullptr;
        }
        Sleep(20);
    }
    return false;
}

bool Launch(const std::string& exe, Program* program, DWORD timeoutMs, const std::string& arguments,
            const char* locale) {
    if (locale) return LaunchUnderLocale(exe, arguments, locale, program, timeoutMs);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + exe + "\"";
    if (!arguments.empty()) commandLine += " " + arguments;
    if (!CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &program->process))
        return false;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        std::vector<HWND> forms = TopLevelWindows(program->process.dwProcessId, "obj_Form");
        if (!forms.empty()) {
            program->form = forms[0];
            return true;
        }
        if (WaitForSingleObject(program->process.hProcess, 20) == WAIT_OBJECT_0) return false;
    }
    return false;
}

bool Close(Program* program, DWORD* exitCode, DWORD timeoutMs) {
    if (!program->process.hProcess) return false;
    if (program->form) PostMessageA(program->form, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(program->process.hProcess, timeoutMs) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(program->process.hProcess, exitCode);
    CloseHandle(program->process.hProcess);
    CloseHandle(program->process.hThread);
    program->process = PROCESS_INFORMATION();
    program->form = nullptr;
    return true;
}

void Kill(Program* program) {
    if (!program->process.hProcess) return;
    if (WaitForSingleObject(program->process.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(program->process.hProcess, 99);
        WaitForSingleObject(program->process.hProcess, 5000);
    }
    CloseHandle(program->process.hProcess);
    CloseHandle(program->process.hThread);
    program->process = PROCESS_INFORMATION();
    program->form = nullptr;
}

HWND WaitForDialog(DWORD pid, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    // A program that ends (or is killed) shows no box: no need to wait on.
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    HWND found = nullptr;
    do {
        std::vector<HWND> dialogs = TopLevelWindows(pid, "#32770");
        if (!dialogs.empty()) {
            found = dialogs[0];
            break;
        }
        if (process && WaitForSingleObject(process, 0) == WAIT_OBJECT_0) break;
        Sleep(20);
    } while (GetTickCount() - start < timeoutMs);
    if (process) CloseHandle(process);
    return found;
}

HWND Child(HWND parent, int id, const char* className) {
    ChildQuery query = {id, className, nullptr};
    EnumChildWindows(parent, FindChild, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

std::string ClassOf(HWND window) {
    char name[256];
    int n = GetClassNameA(window, name, sizeof name);
    return std::string(name, n > 0 ? n : 0);
}

std::string TextOf(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length))
        return std::string();
    std::string text(length + 1, '\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]),
                        SMTO_ABORTIFHUNG, 5000, &copied);
    text.resize(copied);
    return text;
}

std::u16string WideTextOf(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length))
        return std::u16string();
    std::u16string text(length + 1, u'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]),
                        SMTO_ABORTIFHUNG, 5000, &copied);
    text.resize(copied);
    return text;
}

bool SetTextOf(HWND window, const std::u16string& text) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                               5000, &result) &&
           result;
}

bool SetTextOf(HWND window, const std::string& text) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                               SMTO_ABORTIFHUNG, 5000, &result) &&
           result;
}

RECT ChildRect(HWND child) {
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

void Click(HWND button) { PostMessageA(button, BM_CLICK, 0, 0); }

bool Drain(HWND marker, DWORD timeoutMs) {
    // The edit's text limit is the marker: it does not depend on the text
    // and no test looks at it. Each drain asks for a new value.
    static LPARAM serial = 0;
    WPARAM wanted = 1000000 + (++serial);
    PostMessageA(marker, EM_SETLIMITTEXT, wanted, 0);
    DWORD start = GetTickCount();
    do {
        DWORD_PTR limit = 0;
        if (SendMessageTimeoutA(marker, EM_GETLIMITTEXT, 0, 0, SMTO_ABORTIFHUNG, 1000, &limit) &&
            limit == wanted)
            return true;
        Sleep(10);
    } while (GetTickCount() - start < timeoutMs);
    return false;
}

std::string MessageBoxText(HWND box) {
    HWND label = GetDlgItem(box, 0xFFFF);
    return label ? TextOf(label) : std::string();
}

bool DismissMessageBox(HWND box, DWORD timeoutMs) {
    return AnswerMessageBox(box, GetDlgItem(box, IDOK) ? IDOK : IDCANCEL, timeoutMs);
}

bool DropFile(HWND window, DWORD pid, const std::string& path) {
    return DropFile(window, pid, path, false);
}

bool DropFile(HWND window, DWORD pid, const std::u16string& path) {
    return DropFile(window, pid, std::string(reinterpret_cast<const char*>(path.data()), path.size() * 2), true);
}

bool DropFile(HWND window, DWORD pid, const std::string& pathBytes, bool wide) {
    std::string record(sizeof(DROPFILES), '\0');
    DROPFILES header = {};
    header.pFiles = sizeof(DROPFILES);
    header.fWide = wide;
    memcpy(&record[0], &header, sizeof header);
    record += pathBytes;
    record.append(wide ? 4 : 2, '\0');  // the list ends with an empty name
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
    if (!process) return false;
    void* remote = VirtualAllocEx(process, nullptr, record.size(), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    bool ok = remote && WriteProcessMemory(process, remote, record.data(), record.size(), nullptr);
    CloseHandle(process);
    return ok && PostMessageA(window, WM_DROPFILES, reinterpret_cast<WPARAM>(remote), 0);
}

bool AnswerMessageBox(HWND box, int button, DWORD timeoutMs) {
    HWND ok = GetDlgItem(box, button);
    if (!ok) return false;
    PostMessageA(ok, BM_CLICK, 0, 0);
    DWORD start = GetTickCount();
    while (IsWindow(box) && GetTickCount() - start < timeoutMs) Sleep(10);
    return !IsWindow(box);
}

std::string ToCodePage(const std::u16string& text, UINT codePage) {
    if (text.empty()) return std::string();
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(text.data());
    int n = WideCharToMultiByte(codePage, 0, wide, static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(codePage, 0, wide, static_cast<int>(text.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

std::u16string FromCodePage(const std::string& text, UINT codePage) {
    if (text.empty()) return std::u16string();
    int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(n, u'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                        reinterpret_cast<wchar_t*>(&out[0]), n);
    return out;
}

std::string ToUtf8(const std::string& text, UINT fromCodePage) {
    return ToCodePage(FromCodePage(text, fromCodePage), CP_UTF8);
}

std::u16string FromUtf8(const std::string& text) { return FromCodePage(text, CP_UTF8); }

bool ReadWholeFile(const std::string& path, std::string* bytes) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    bytes->clear();
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes->append(buffer, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

bool WriteWholeFile(const std::u16string& path, const std::string& bytes) {
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    return CloseHandle(file) && ok;
}

bool ReadWholeFile(const std::u16string& path, std::string* bytes) {
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bytes->assign(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    const bool ok = bytes->empty() || (ReadFile(file, &(*bytes)[0], static_cast<DWORD>(bytes->size()), &read, nullptr) &&
                                       read == bytes->size());
    CloseHandle(file);
    return ok;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

bool ApplyIpsReference(const std::string& ips, std::string* image) {
    if (ips.compare(0, 5, "PATCH") != 0) return false;
    auto byteAt = [&](size_t i) { return static_cast<unsigned char>(ips[i]); };
    size_t p = 5;
    while (p + 3 <= ips.size()) {
        if (p + 5 > ips.size()) return false;
        size_t offset = (byteAt(p) << 16) | (byteAt(p + 1) << 8) | byteAt(p + 2);
        size_t size = (byteAt(p + 3) << 8) | byteAt(p + 4);
        p += 5;
        if (size == 0) {
            if (p + 3 > ips.size()) return false;
            size_t count = (byteAt(p) << 8) | byteAt(p + 1);
            char value = ips[p + 2];
            p += 3;
            if (count == 0) continue;
            if (image->size() < offset + count) image->resize(offset + count, '\0');
            image->replace(offset, count, count, value);
        } else {
            if (p + size > ips.size()) return false;
            if (image->size() < offset + size) image->resize(offset + size, '\0');
            image->replace(offset, size, ips, p, size);
            p += size;
        }
    }
    return p == ips.size();
}

}  // namespace drive
