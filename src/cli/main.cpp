// sovra-flash: the command-line face of the firmware tool.

#include <signal.h>

#include <CLI/CLI.hpp>

#include "app/event_log.h"
#include "cli/commands.h"

int main(int argc, char** argv) {
    // A closed pipe or terminal on the output (`| head`, a dropped SSH
    // session with `| tee`) must only stop the output, never a device
    // operation: a write to it then fails quietly instead of killing us.
    ::signal(SIGPIPE, SIG_IGN);
    // Our entries apart from the desktop application's: `journalctl -t sovra-flash`.
    sovra::SetSystemLogTag("sovra-flash");
    CLI::App app{"sovra-flash: inspect, merge and write SovRa beamformer firmware"};
    app.set_version_flag("--version", std::string("sovra-flash ") + SOVRA_VERSION);
    app.require_subcommand(1);

    sovra::cli::Runner run;
    // Subcommands, in the order --help lists them.
    sovra::cli::AddFirmware(app, run);
    sovra::cli::AddList(app, run);
    sovra::cli::AddInspect(app, run);
    sovra::cli::AddMerge(app, run);
    sovra::cli::AddDump(app, run);
    sovra::cli::AddUpdate(app, run);
    sovra::cli::AddRestore(app, run);
    sovra::cli::AddWatch(app, run);
    sovra::cli::AddHistory(app, run);
    sovra::cli::AddSampleImage(app, run);
    sovra::cli::AddUdevRules(app, run);
    sovra::cli::AddCompletion(app, run);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : sovra::cli::kExitUsage;
    }
    return run ? run() : sovra::cli::kExitUsage;
}
