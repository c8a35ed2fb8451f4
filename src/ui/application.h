#pragma once
// The program's frame: prepares the user-interface thread, runs the main
// window modally as the only top-level window, and ends the program when
// that window closes, however it was closed.

#include <optional>
#include <string>

#include "ui/dialog_services.h"

class QWidget;

namespace sovra::ui {

class Application {
  public:
    Application() = default;
    virtual ~Application() = default;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Runs the main window until it closes; returns the process's exit
    // code. A QApplication must exist.
    int Run();

    // The main window while it runs, else null.
    QWidget* MainWindowWidget() const { return mainWindow_; }

    // The catalogue given on the command line, read instead of looking one up.
    void SetCataloguePath(std::string path) { cataloguePath_ = std::move(path); }

  protected:
    // Where the main window takes its catalogue and devices from.
    virtual DialogServices Services() const;

  private:
    QWidget* mainWindow_ = nullptr;
    std::optional<std::string> cataloguePath_;
};

// Qt's share of preparing the user-interface thread: font substitutes and
// the application icon. Safe to call more than once.
void PrepareUserInterface();

}  // namespace sovra::ui
