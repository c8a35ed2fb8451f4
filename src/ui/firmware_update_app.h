#pragma once
// The program's frame: prepares the user-interface thread, runs the main
// dialog modally as the only top-level window, and ends the program when
// that dialog closes, however it was closed. There is no message loop of
// its own, no command line and no settings.

#include "ui/dialog_services.h"

class QWidget;

namespace sovra::ui {

class CFirmwareUpdateApp {
  public:
    CFirmwareUpdateApp() = default;
    virtual ~CFirmwareUpdateApp() = default;
    CFirmwareUpdateApp(const CFirmwareUpdateApp&) = delete;
    CFirmwareUpdateApp& operator=(const CFirmwareUpdateApp&) = delete;

    // Runs the main dialog; always false, so no message loop follows.
    virtual bool InitInstance();
    // The process's exit code.
    virtual int ExitInstance();

    // What the entry point does: InitInstance, then, as it returned false,
    // ExitInstance. A QApplication must exist.
    int Run();

    // The main dialog while it runs, else null.
    QWidget* MainWindow() const { return mainWindow_; }

  protected:
    // Where the main dialog takes its catalogue and devices from.
    virtual DialogServices Services() const;

  private:
    QWidget* mainWindow_ = nullptr;
};

// Qt's share of preparing the user-interface thread: font substitutes and
// the application icon. Safe to call more than once.
void PrepareUserInterface();

}  // namespace sovra::ui
