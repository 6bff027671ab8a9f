// tessel-pack: builds, inspects and applies Tessel patchers.
//
// Windows: the arguments are read as UTF-16 (wmain, linked with -municode)
// and handed on as UTF-8, and the patch core is told to take its paths as
// UTF-8 too, so file names in any script work on any system code page.
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/file_handle.h"
#include "tools/tessel_pack/commands.h"
#include "tools/tessel_pack/embedded_stub.h"
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
int wmain(int argc, wchar_t** argv) {
    UseUtf8FilePaths();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg(argv[i]);
        args.push_back(Utf16ToUtf8(std::u16string(arg.begin(), arg.end())));
    }
    return RunWithArguments(args);
}
#else
int main(int argc, char** argv) {
    FindCodePageConverters();
    return RunWithArguments(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
