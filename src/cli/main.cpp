// sovra-flash: the command-line face of the firmware tool.

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "app/event_log.h"
#include "app/safe_text.h"
#include "cli/commands.h"

namespace {

// Whether standard output is a pipe whose reader has closed it.
bool ReaderGone() {
    pollfd p{STDOUT_FILENO, POLLOUT, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0;
}

}  // namespace

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

    using namespace sovra::cli;
    Runner run;
    // Subcommands, in the order --help lists them; completion walks the others.
    for (const auto add :
         {AddFirmware, AddList, AddInspect, AddMerge, AddDump, AddUpdate, AddRestore, AddWatch,
          AddHistory, AddSampleImage, AddUdevRules, AddCompletion}) {
        add(app, run);
    }

    // A mistyped subcommand is named, rather than called missing.
    if (argc > 1 && argv[1][0] != '-' &&
        app.get_subcommands([&](CLI::App* c) { return c->get_name() == argv[1]; }).empty()) {
        std::cerr << "sovra-flash: unknown subcommand '" << sovra::TerminalSafe(argv[1])
                  << "'; run sovra-flash --help for the list.\n";
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }
    const int status = run ? run() : kExitUsage;
    // Output the disk would not take (a full disk, a quota) is no success.
    // A reader that went away (`| head`) only stopped the output: the
    // command's own status stands.
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int why = errno;
    if ((!flushed || !std::cout || std::ferror(stdout) != 0) && !ReaderGone()) {
        std::cerr << "sovra-flash: cannot write the output"
                  << (why != 0 ? std::string(": ") + std::strerror(why) : std::string()) << ".\n";
        return kExitRefused;
    }
    return status;
}
