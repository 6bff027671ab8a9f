// The ways a target's path gets into the file box besides typing and the
// browse dialog: a path pasted with quotes, a file dropped on the window,
// and a file named on the command line (a file dropped on the .exe's icon).
#pragma once
#include "base/byte_string.h"

class Widget;

// The path without surrounding double quotes and spaces, as Explorer's
// "Copy as path" and command lines give it: ` "C:\a b\x.bin" ` ->
// `C:\a b\x.bin`. Paths are UTF-8, in which neither byte is ever part of
// another character, so the text is cut byte-wise.
ByteString TrimTypedPath(const ByteString& path);

// The process's command line (GetCommandLineW) as UTF-8: a name the ANSI
// code page cannot spell (GetCommandLineA's "?") arrives whole.
ByteString CommandLineUtf8();

// The first argument of a command line as WinMain gets it (the program's
// own name already left out): a quoted argument up to its closing quote,
// else up to the first space. Empty when there is none.
ByteString FirstCommandLineArgument(const char* commandLine);

// Lets the shell drop files on form (WS_EX_ACCEPTFILES) and puts the first
// dropped file's path into fileBox. Both are borrowed: the handler is the
// form's, and fileBox is its child.
void AcceptDroppedFiles(Widget* form, Widget* fileBox);
