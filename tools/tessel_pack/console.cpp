#include "tools/tessel_pack/console.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#ifdef _WIN32
// The console window behind a standard stream, or null when the stream goes
// to a file or a pipe (GetConsoleMode fails for those).
static void* ConsoleWindowOf(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    DWORD mode = 0;
    if (handle == NULL || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return nullptr;
    return handle;
}

static void WriteToConsoleWindow(void* window, const std::string& text) {
    const int length = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, NULL, 0);
    if (units <= 0) return;
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, &wide[0], units);
    // In pieces: older consoles refuse very long writes.
    for (size_t at = 0; at < wide.size();) {
        DWORD piece = static_cast<DWORD>(wide.size() - at < 4096 ? wide.size() - at : 4096);
        DWORD written = 0;
        if (!WriteConsoleW(window, wide.data() + at, piece, &written, NULL) || written == 0) return;
        at += written;
    }
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
    // writes exactly the bytes it means.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    console.outWindow = ConsoleWindowOf(STD_OUTPUT_HANDLE);
    console.errWindow = ConsoleWindowOf(STD_ERROR_HANDLE);
    console.errIsTerminal = _isatty(_fileno(stderr)) != 0;
#else
    console.errIsTerminal = isatty(fileno(stderr)) != 0;
#endif
    return console;
}

static void Write(FILE* stream, void* window, const std::string& text) {
#ifdef _WIN32
    if (window) {
        fflush(stream);
        WriteToConsoleWindow(window, text);
        return;
    }
#else
    (void)window;
#endif
    if (!text.empty()) fwrite(text.data(), 1, text.size(), stream);
    fflush(stream);
}

void Print(const Console& console, const std::string& text) {
    Write(console.out, console.outWindow, text);
}

void PrintToError(const Console& console, const std::string& text) {
    Write(console.err, console.errWindow, text);
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
    PrintToError(console, line);
}

void PrintError(const Console& console, const char* command, const std::string& file,
                const std::string& what) {
    PrintLine(console, command, file, nullptr, what);
}

void PrintWarning(const Console& console, const char* command, const std::string& file,
                  const std::string& what) {
    PrintLine(console, command, file, "warning: ", what);
}
