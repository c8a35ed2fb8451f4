// sovra-firmware-update: the desktop application.
//
// It takes one optional argument, a catalogue file (the desktop entry passes
// the file opened in a file manager); without it the catalogue is looked up.
// Further files are ignored.
// A lone --version or --help is answered, for packaging tools; any other
// option is ignored (Qt still takes its own, such as -platform).

#include <QApplication>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ui/application.h"
#include "ui/termination_guard.h"

namespace {

constexpr const char* kHelp =
    "Usage: sovra-firmware-update [CATALOGUE]\n"
    "Updates the firmware of a SovRa USB beamformer; the device and the firmware\n"
    "are chosen in the window.\n"
    "\n"
    "CATALOGUE is a catalogue file, such as a firmware bundle's FirmwareUpdate.xml.\n"
    "Without it, the first of these files that exists is read:\n"
    "  ./FirmwareUpdate.xml\n"
    "  $XDG_CONFIG_HOME/sovra-firmware-update/FirmwareUpdate.xml (~/.config/...)\n"
    "  DIR/sovra-firmware-update/FirmwareUpdate.xml for each DIR of $XDG_DATA_DIRS\n"
    "      (/usr/local/share, then /usr/share)\n"
    "The catalogue's firmware files are read from its own folder. Which catalogue\n"
    "was read is in the system log: journalctl -t sovra-firmware-update\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("sovra-firmware-update %s\n", SOVRA_VERSION);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    QApplication application(argc, argv);
    // Qt has taken its own arguments out of argv; what is left that is not an
    // option (or comes after "--") names the catalogue.
    std::vector<std::string> files;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (optionsEnded || arg.size() < 2 || arg.front() != '-') {
            files.emplace_back(arg);
        }
    }
    if (files.size() > 1) {
        // Started with a selection of files from a file manager, say: the
        // window opens all the same, with the first.
        std::fprintf(stderr, "sovra-firmware-update: only the first of %zu files is read.\n",
                     files.size());
    }
    sovra::ui::Application app;
    if (!files.empty()) {
        app.SetCataloguePath(files.front());
    }
    // A logout, a closed terminal or Ctrl-C waits for a running update to
    // end before it ends the program; at any other time it ends it at once.
    sovra::ui::TerminationGuard terminationGuard;
    return app.Run();
}
