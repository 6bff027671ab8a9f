// The program entry: build the window, run the loop, end with exit code 0.
// The command line may name a target (a file dropped on the .exe's icon);
// there is no configuration and no second window.
//
// The program is linked without the C runtime's start-up code
// (-nostartfiles, app/CMakeLists.txt): WinMainCRTStartup below is the
// process entry. msvcrt.dll initialises its heap when it is loaded, so
// malloc and free work without that code; what the start-up code did
// besides (command-line arguments, stdio modes, floating-point and
// exception set-up, TLS callbacks, pseudo-relocations) the program does not
// use, and its code cost the downloaded program about 4 KiB.
//
// What is released when: closing the window ends the loop, whose shutdown
// releases the form; the form's OnDestroy (onFormDestroy) releases the
// carried patch, then its release list frees the MainWindow, the form's font
// and the file dialog, in that order. The message texts are never freed:
// their memory goes with the process (app/app_texts.cpp).
#include <windows.h>

#include "app/file_input.h"
#include "app/main_window.h"
#include "platform/file_handle.h"
#include "ui/message_routing.h"
#include "ui/properties.h"

// Set by createMainWindow as its first step and never cleared: nothing
// reads it after the loop returns.
MainWindow* mainWindow;

// The static constructors: the linker's default PE script lists them after
// __CTOR_LIST__'s first entry (-1) up to a null entry.
extern "C" void (*__CTOR_LIST__[])();

namespace {

// A file named on the command line only fills the file box: nothing is
// patched until the user presses the confirm button. The module instance
// handle the window classes and the file dialog use is taken by the window
// layer at start-up.
int RunProgram(const char* commandLine) {
    createMainWindow(&mainWindow, nullptr);
    ByteString named = FirstCommandLineArgument(commandLine);
    if (mainWindow && mainWindow->edtFile && !named.Empty()) SetText(mainWindow->edtFile, named);
    if (mainWindow && mainWindow->frmMain) MessageLoop(&mainWindow->frmMain);
    return 0;
}

// The process's command line past the program's name (up to the first
// blank outside double quotes) and the blanks after it. Bytes are compared
// unsigned: the bytes of a UTF-8 character (0x80 and up) are part of the
// name, not blanks, as a signed comparison would take them to be.
const char* ArgumentsOf(const char* line) {
    bool quoted = false;
    while (static_cast<unsigned char>(*line) > ' ' || (*line && quoted)) {
        if (*line == '"') quoted = !quoted;
        ++line;
    }
    while (*line && static_cast<unsigned char>(*line) <= ' ') ++line;
    return line;
}

}  // namespace

// The loader calls the entry with the stack only 4-byte aligned on i686;
// the realignment keeps GCC's 16-byte assumption true below it. The entry
// never returns: ExitProcess ends the process with the program's code.
extern "C" __attribute__((force_align_arg_pointer)) void WinMainCRTStartup() {
    // Last to first, as the runtime's __do_global_ctors runs them.
    unsigned count = 0;
    while (__CTOR_LIST__[count + 1]) ++count;
    for (; count > 0; --count) __CTOR_LIST__[count]();
    // Every path inside the program is UTF-8 from here on and reaches the
    // file calls as UTF-16 (CreateFileW...): a name in any script works on
    // any system code page.
    UseUtf8FilePaths();
    const ByteString line = CommandLineUtf8();
    ExitProcess(RunProgram(ArgumentsOf(line.CStr())));
}
