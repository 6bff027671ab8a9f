// The program's one window: a fixed-size form with the carried description,
// a file-name box with a browse button, a backup check box, a progress bar
// and a confirm button; and what its buttons do.
#pragma once
#include <stdint.h>

#include "base/byte_string.h"
#include "base/ref_object.h"

class Widget;
class FileDialog;

// The application object. Every field is borrowed: the controls belong to
// frmMain as its children, and the dialog and this object itself are in
// frmMain's release list, so all of them go when the form goes.
class MainWindow : public RefObject {
public:
    // The carried patch run on targetPath, wired to this window: the backup
    // flag from chkBackup, progress to prgPatch, the result to NotifyUser.
    void applyPatch(const ByteString& targetPath);

    Widget* frmMain;         // MessageLoop clears this field when the program ends
    Widget* btnBrowse;
    Widget* edtFile;
    Widget* btnOk;
    Widget* prgPatch;
    FileDialog* dlgFile;
    Widget* chkBackup;
    Widget* memDescription;
};

// Client area of the form and the place of each control in it.
const int32_t FormClientWidth = 275;
const int32_t FormClientHeight = 205;

// Builds the window and stores the new MainWindow in *variable as its very
// first step. The form's window exists afterwards but is hidden until the
// run loop shows it.
void createMainWindow(MainWindow** variable, Widget* parent);
// Captions, message texts, the carried payload; the last step of
// createMainWindow.
void prepareMainWindow(MainWindow* window);

// Event handlers; the context is always the MainWindow.
void onBrowseClick(void* context, RefObject* sender);
void onOkClick(void* context, RefObject* sender);
void onFormDestroy(void* context, RefObject* sender);

// Modal message box owned by the main form, titled with its caption; with
// no main form, no owner and the system's default title. Returns the
// button pressed (IDOK, IDYES, IDNO...), 0 when the box could not be shown.
int NotifyUser(const ByteString& message, uint32_t type);
