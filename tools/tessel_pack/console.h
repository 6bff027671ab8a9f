// Where a command's output goes, the exit codes it returns, and the one-line
// error and warning format. Commands write through a Console rather than
// straight to stdout/stderr so that tests can run them in-process and read
// back exactly what a user would see.
//
// All text is UTF-8. On Windows a stream that is a console window is written
// with WriteConsoleW, so Chinese and accented text shows whatever the
// console's code page; a redirected stream gets the UTF-8 bytes themselves
// (the same bytes as the native build).
#pragma once
#include <stdio.h>

#include <string>

enum ExitCode {
    kExitSuccess = 0,
    kExitRefused = 1,   // the input was read but is not acceptable
    kExitUsage = 2,     // the command line is wrong
    kExitIoFailure = 3  // a file could not be read, written or renamed
};

struct Console {
    FILE* in;             // borrowed
    FILE* out;            // borrowed
    FILE* err;            // borrowed
    bool errIsTerminal;   // draws the progress bar only on a terminal
    // Windows console handles of out and err when they are console windows
    // (written with WriteConsoleW); null for files, pipes and in tests.
    void* outWindow = nullptr;
    void* errWindow = nullptr;
};

// Console over the process's own standard streams. On Windows this also puts
// all three into binary mode (a description read from a pipe keeps its CR LF
// and its 0x1A bytes; a printed description's CR LF is not doubled to
// CR CR LF) and finds out which of them are console windows.
Console ProcessConsole();

// UTF-8 text to standard output / standard error, as it is (no newline added).
void Print(const Console& console, const std::string& text);
void PrintToError(const Console& console, const std::string& text);

// "tessel-pack <command>: <file>: <what>" on one line of stderr. command and
// file may be empty and are then left out.
void PrintError(const Console& console, const char* command, const std::string& file,
                const std::string& what);
void PrintWarning(const Console& console, const char* command, const std::string& file,
                  const std::string& what);
