// The program entry: build the window, run the loop, end with exit code 0.
// The command line may name a target (a file dropped on the .exe's icon);
// there is no configuration and no second window.
//
// What is released when: closing the window ends the loop, whose shutdown
// releases the form; the form's OnDestroy (onFormDestroy) releases the
// carried patch, then its release list frees the MainWindow, the form's font
// and the file dialog, in that order. The message texts are globals, freed
// by the runtime at exit.
#include <windows.h>

#include "app/file_input.h"
#include "app/main_window.h"
#include "ui/message_routing.h"
#include "ui/properties.h"

// Set by createMainWindow as its first step and never cleared: nothing
// reads it after the loop returns.
MainWindow* mainWindow;

// A file named on the command line only fills the file box: nothing is
// patched until the user presses the confirm button. The module instance
// handle the window classes and the file dialog use is taken by the window
// layer at start-up.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    createMainWindow(&mainWindow, nullptr);
    ByteString named = FirstCommandLineArgument(commandLine);
    if (mainWindow && mainWindow->edtFile && !named.Empty()) SetText(mainWindow->edtFile, named);
    if (mainWindow && mainWindow->frmMain) MessageLoop(&mainWindow->frmMain);
    return 0;
}
