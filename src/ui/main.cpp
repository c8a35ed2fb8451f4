// sovra-firmware-update: the desktop application.
//
// The program reads no option and no environment variable of its own. Only
// a lone --version or --help is answered, for packaging tools; any other
// argument is ignored (Qt still takes its own, such as -platform).

#include <QApplication>
#include <cstdio>
#include <cstring>

#include "ui/application.h"
#include "ui/termination_guard.h"

namespace {

// The one application object, constructed before main() runs.
sovra::ui::Application theApp;

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("sovra-firmware-update %s\n", SOVRA_VERSION);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf(
            "Usage: sovra-firmware-update\n"
            "Updates the firmware of a SovRa USB beamformer. Reads FirmwareUpdate.xml\n"
            "from the current folder; everything else is chosen in the window.\n");
        return 0;
    }
    QApplication application(argc, argv);
    // A logout, a closed terminal or Ctrl-C waits for a running update to
    // end before it ends the program; at any other time it ends it at once.
    sovra::ui::TerminationGuard terminationGuard;
    return theApp.Run();
}
