// tessel-pack: builds, inspects and applies Tessel patchers.
//
// Windows: the arguments are read as UTF-16 (wmain, linked with -municode)
// and handed on as UTF-8, and the patch core is told to take its paths as
// UTF-8 too, so file names in any script work on any system code page.
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <conio.h>
#include <windows.h>
#endif

#include "platform/file_handle.h"
#include "tools/tessel_pack/commands.h"
#include "tools/tessel_pack/embedded_stub.h"
#include "tools/tessel_pack/help.h"
#include "tools/tessel_pack/utf8.h"

#ifndef _WIN32
// A statically linked glibc looks for its code-page converters (gconv
// modules) only where the build system keeps them; other distributions keep
// them elsewhere. Point it at the first place that has them, unless the user
// already chose.
static void FindCodePageConverters() {
    if (getenv("GCONV_PATH")) return;
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu/gconv", "/usr/lib64/gconv", "/usr/lib/gconv"}) {
        struct stat info;
        if (stat((std::string(dir) + "/gconv-modules").c_str(), &info) == 0) {
            setenv("GCONV_PATH", dir, 0);
            return;
        }
    }
}
#endif

static int RunWithArguments(const std::vector<std::string>& args) {
    SetToolFile(RunningExecutablePath());
    const int code = RunTesselPack(args, ProcessConsole());
    fflush(stdout);
    fflush(stderr);
    return code;
}

#ifdef _WIN32
// Started from Explorer (double-clicked, or files dropped on its icon) the
// tool gets a console window of its own, which closes the moment it exits:
// then it is the only process attached to that console.
// Its standard handles are that console's too (a pipe or a file means a
// caller that reads the output and waits for no key).
static bool OwnsItsConsole() {
    DWORD processes[2], mode;
    return GetConsoleProcessList(processes, 2) == 1 && GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) &&
           GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode);
}

static std::string LowerExtension(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find_first_of("\\/", dot) != std::string::npos) return std::string();
    std::string extension = path.substr(dot);
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return extension;
}

// A patch (.ips, .bps) and a description (.txt) dropped together, in either
// order, become "build" of a patcher beside the patch, named after it.
static bool DroppedPatchAndDescription(const std::vector<std::string>& args, std::vector<std::string>& build) {
    if (args.size() != 2) return false;
    for (int first = 0; first < 2; ++first) {
        const std::string& patch = args[first];
        const std::string& notes = args[1 - first];
        const std::string extension = LowerExtension(patch);
        if ((extension != ".ips" && extension != ".bps") || LowerExtension(notes) != ".txt") continue;
        const std::string patcher = patch.substr(0, patch.size() - extension.size()) + ".exe";
        build = {"build", "--patch", patch, "--description", notes, "-o", patcher};
        return true;
    }
    return false;
}

// In a window of its own: the help for a double-click, a patcher for a
// dropped patch and description, and in every case a key to wait for, so
// that what happened can be read before the window goes.
static int RunInItsOwnWindow(const std::vector<std::string>& args) {
    SetToolFile(RunningExecutablePath());
    const Console console = ProcessConsole();
    std::vector<std::string> build;
    int code = kExitSuccess;
    if (args.empty()) {
        Print(console, kToolHelp);
        Print(console, "\nTo make a patcher, drop a patch (.ips or .bps) and its description (.txt)\n"
                       "together on tessel-pack.exe.\n");
    } else if (DroppedPatchAndDescription(args, build)) {
        code = RunTesselPack(build, console);
        if (code == kExitSuccess) Print(console, "\nThe patcher is " + build.back() + "\n");
    } else {
        code = RunTesselPack(args, console);
    }
    Print(console, "\nPress any key to close this window.\n");
    _getwch();
    return code;
}

int wmain(int argc, wchar_t** argv) {
    UseUtf8FilePaths();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg(argv[i]);
        args.push_back(Utf16ToUtf8(std::u16string(arg.begin(), arg.end())));
    }
    if (OwnsItsConsole()) return RunInItsOwnWindow(args);
    return RunWithArguments(args);
}
#else
int main(int argc, char** argv) {
    FindCodePageConverters();
    return RunWithArguments(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
