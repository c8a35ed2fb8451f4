#include "ui/firmware_update_app.h"

#include <QApplication>

#include "ui/dialog_units.h"
#include "ui/firmware_update_dlg.h"

namespace sovra::ui {

void PrepareUserInterface() {
    InstallFontSubstitutions();
    QApplication::setWindowIcon(ApplicationIcon());
    // A dialog-based program: closing a window never ends the program on
    // Qt's own account; the end of the main dialog's modal run does.
    QApplication::setQuitOnLastWindowClosed(false);
}

DialogServices CFirmwareUpdateApp::Services() const {
    return SystemDialogServices();
}

bool CFirmwareUpdateApp::InitInstance() {
    PrepareUserInterface();
    {
        CFirmwareUpdateDlg dialog(Services());
        mainWindow_ = &dialog;
        // Every way of closing the dialog ends the program the same way.
        (void)dialog.DoModal();
        mainWindow_ = nullptr;
    }
    return false;
}

int CFirmwareUpdateApp::ExitInstance() {
    return 0;
}

int CFirmwareUpdateApp::Run() {
    // A true InitInstance would ask for a message loop; this program's
    // never does.
    if (InitInstance()) {
        QApplication::exec();
    }
    return ExitInstance();
}

}  // namespace sovra::ui
