#include "tools/tessel_pack/console.h"

#ifdef _WIN32
#include <fcntl.h>
#include <stdlib.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#ifdef _WIN32
// The console's output code page outlives the process: put back what the
// user's console had, so a cmd.exe window is not left in UTF-8.
static UINT g_savedOutputCodePage;
static void RestoreOutputCodePage() {
    if (g_savedOutputCodePage) SetConsoleOutputCP(g_savedOutputCodePage);
}
#endif

Console ProcessConsole() {
    Console console;
    console.in = stdin;
    console.out = stdout;
    console.err = stderr;
#ifdef _WIN32
    // Text mode would turn CR LF into LF and stop at the first 0x1A on the
    // way in, and turn every LF into CR LF on the way out; the tool reads and
    // writes exactly the bytes it means (the same bytes as the native build).
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // A console window shows bytes in its own output code page; the tool
    // writes UTF-8. SetConsoleOutputCP fails harmlessly when stdout is a pipe
    // or a file, which then simply receive the UTF-8 bytes.
    if (_isatty(_fileno(stdout)) || _isatty(_fileno(stderr))) {
        g_savedOutputCodePage = GetConsoleOutputCP();
        if (g_savedOutputCodePage && SetConsoleOutputCP(CP_UTF8)) atexit(RestoreOutputCodePage);
    }
    console.errIsTerminal = _isatty(_fileno(stderr)) != 0;
#else
    console.errIsTerminal = isatty(fileno(stderr)) != 0;
#endif
    return console;
}

static void PrintLine(const Console& console, const char* command, const std::string& file,
                      const char* kind, const std::string& what) {
    std::string line = "tessel-pack";
    if (command && *command) {
        line += ' ';
        line += command;
    }
    line += ": ";
    if (kind) line += kind;
    if (!file.empty()) {
        line += file;
        line += ": ";
    }
    line += what;
    line += '\n';
    fputs(line.c_str(), console.err);
    fflush(console.err);
}

void PrintError(const Console& console, const char* command, const std::string& file,
                const std::string& what) {
    PrintLine(console, command, file, nullptr, what);
}

void PrintWarning(const Console& console, const char* command, const std::string& file,
                  const std::string& what) {
    PrintLine(console, command, file, "warning: ", what);
}
