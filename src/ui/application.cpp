#include "ui/application.h"

#include <QApplication>

#include "ui/dialog_units.h"
#include "ui/main_window.h"

namespace sovra::ui {

void PrepareUserInterface() {
    InstallFontSubstitutions();
    QApplication::setWindowIcon(ApplicationIcon());
    // Closing a window never ends the program on Qt's own account; the end
    // of the main window's modal run does.
    QApplication::setQuitOnLastWindowClosed(false);
}

DialogServices Application::Services() const {
    return SystemDialogServices(cataloguePath_);
}

int Application::Run() {
    PrepareUserInterface();
    MainWindow window(Services());
    mainWindow_ = &window;
    // Every way of closing the window ends the program the same way.
    (void)window.Run();
    mainWindow_ = nullptr;
    return 0;
}

}  // namespace sovra::ui
