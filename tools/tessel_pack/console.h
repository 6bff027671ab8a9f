// Where a command's output goes, the exit codes it returns, and the one-line
// error and warning format. Commands write through a Console rather than
// straight to stdout/stderr so that tests can run them in-process and read
// back exactly what a user would see.
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
};

// Console over the process's own standard streams. On Windows this also puts
// all three into binary mode (a description read from a pipe keeps its CR LF
// and its 0x1A bytes; a printed description's CR LF is not doubled to
// CR CR LF) and switches a console window to UTF-8 output so the description
// and the program's Chinese messages display.
Console ProcessConsole();

// "tessel-pack <command>: <file>: <what>" on one line of stderr. command and
// file may be empty and are then left out.
void PrintError(const Console& console, const char* command, const std::string& file,
                const std::string& what);
void PrintWarning(const Console& console, const char* command, const std::string& file,
                  const std::string& what);
