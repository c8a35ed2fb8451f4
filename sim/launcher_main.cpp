// sovra-beamformer-sim: hosts virtual beamformers behind the real libudev
// and libusb and runs an unmodified program against them.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "app/event_log.h"
#include "app/files.h"
#include "flash/sample_image.h"
#include "sim/device_spec.h"
#include "sim/syslog_catcher.h"
#include "sim/usb_host.h"

extern char** environ;

namespace {

using namespace sovra;
using namespace sovra::sim;

constexpr const char* kName = "sovra-beamformer-sim";
// As env(1) and timeout(1) do: the launcher's own failures stay apart from
// the command's exit statuses.
constexpr int kExitLauncherFailed = 125;
constexpr int kExitCannotExecute = 126;
constexpr int kExitNotFound = 127;

constexpr const char* kDefaultDevice = "0abc:0010:0102";

std::atomic<pid_t> gChild{0};

void ForwardSignal(int signal) {
    const pid_t child = gChild.load();
    if (child > 0) {
        ::kill(child, signal);
    }
}

void Fail(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kName, message.c_str());
}

std::string Describe(const UsbHost& host, std::size_t i, const DeviceSpec& spec) {
    const sim::UsbIds ids = host.Ids(i);
    char text[160];
    std::snprintf(text, sizeof text, "device %zu: %04x:%04x rev %04x at %s (bus %u, address %u)",
                  i + 1, ids.vendor, ids.product, ids.revision, host.DeviceNode(i).c_str(),
                  host.BusNumber(i), host.Address(i));
    std::string s = text;
    s += spec.flashFile ? ", flash from " + *spec.flashFile : ", sample flash";
    const auto note = [&s](std::uint64_t n, const char* what, const char* unit = "") {
        if (n != 0) {
            s += what + std::to_string(n) + unit;
        }
    };
    const FaultPlan& f = spec.faults;
    note(static_cast<std::uint64_t>(f.latency.count()), ", latency ", " us");
    note(f.failAt, ", fail at request ");
    note(f.unplugAt, ", unplug at request ");
    note(f.corruptAt, ", corrupt at request ");
    if (f.corruptByte) {
        s += " (byte " + std::to_string(*f.corruptByte) + ")";
    }
    note(f.dropWriteAt, ", drop write request ");
    if (spec.ids.serial) {
        s += ", serial " + *spec.ids.serial;
    }
    for (const DeviceSpec::PlugTime& t : spec.plugTimes) {
        s += std::string(t.arrives ? ", arrives after " : ", leaves after ") +
             std::to_string(t.at.count()) + " ms";
    }
    return s;
}

struct PlugEvent {
    std::chrono::milliseconds at;  // after the command starts
    std::size_t device;            // the host's index
    bool arrives;                  // plugged in; otherwise unplugged
};

// Plugs devices in and out at their times after `start`, those at the same
// time in the order given, until `stop` drops the events still to come.
void RunPlugEvents(std::stop_token stop, UsbHost& host, std::vector<PlugEvent> events,
                   std::chrono::steady_clock::time_point start) {
    std::stable_sort(events.begin(), events.end(),
                     [](const PlugEvent& a, const PlugEvent& b) { return a.at < b.at; });
    std::mutex mu;
    std::condition_variable_any cv;
    std::unique_lock lock(mu);
    for (const PlugEvent& e : events) {
        cv.wait_until(lock, stop, start + e.at, [] { return false; });
        if (stop.stop_requested()) {
            return;
        }
        if (e.arrives) {
            host.Replug(e.device);
        } else {
            host.Unplug(e.device);
        }
    }
}

// Starts the command with this process's environment (UMOCKDEV_DIR and
// LD_PRELOAD included) and the usual signal dispositions; returns its exit
// status the way a shell does.
int RunCommand(const std::vector<std::string>& command) {
    std::vector<char*> args;
    for (const std::string& a : command) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);

    // Like system(): Ctrl-C and Ctrl-\ are for the command; the launcher
    // stays to save the flash and show the log. A termination request is
    // passed on.
    constexpr int kSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction forward {};
    forward.sa_handler = ForwardSignal;
    struct sigaction old[4] = {};
    for (int i = 0; i < 4; ++i) {
        sigaction(kSignals[i], i < 2 ? &ignore : &forward, &old[i]);
    }

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int s : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE}) {
        sigaddset(&defaults, s);
    }
    posix_spawnattr_setsigdefault(&attr, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::fflush(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, args[0], nullptr, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    int result = 0;
    if (spawned != 0) {
        Fail("cannot run '" + command[0] + "': " + std::strerror(spawned));
        result = spawned == ENOENT ? kExitNotFound : kExitCannotExecute;
    } else {
        gChild = pid;
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        gChild = 0;
        result = WIFEXITED(status)     ? WEXITSTATUS(status)
                 : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                       : kExitLauncherFailed;
    }
    for (int i = 0; i < 4; ++i) {
        sigaction(kSignals[i], &old[i], nullptr);
    }
    return result;
}

// CLI11 knows nothing of the command after "--"; the usage line shows it.
class UsageFormatter : public CLI::Formatter {
  public:
    std::string make_usage(const CLI::App*, std::string) const override {
        return std::string("\nUsage: ") + kName +
               " [--device SPEC]... [--save-flash DIR] -- COMMAND [ARGS...]\n";
    }
};

bool SaveFlash(const std::filesystem::path& dir, const UsbHost& host) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        Fail("cannot create " + dir.string() + ": " + ec.message());
        return false;
    }
    bool ok = true;
    for (std::size_t i = 0; i < host.DeviceCount(); ++i) {
        const std::filesystem::path file = dir / ("device-" + std::to_string(i + 1) + ".bin");
        const std::vector<std::uint8_t> flash = host.Model(i)->Flash();
        if (const Error e = WriteFileAtomically(file.string(), flash); e.Failed()) {
            Fail(e.What() + ".");
            ok = false;
        }
    }
    return ok;
}

int Run(int argc, char** argv) {
    // Everything after "--" is the command, whatever it looks like.
    const int split =
        static_cast<int>(std::find_if(argv + 1, argv + argc,
                                      [](const char* a) { return std::strcmp(a, "--") == 0; }) -
                         argv);
    std::vector<std::string> command(argv + std::min(split + 1, argc), argv + argc);

    CLI::App app{
        "Hosts virtual SovRa USB beamformers, seen through the real libudev and libusb,\n"
        "runs COMMAND against them and exits with its status.",
        kName};
    app.formatter(std::make_shared<UsageFormatter>());
    app.footer(
        "SPEC is VID:PID:REV in hexadecimal (REV is bcdDevice, 4 digits), optionally followed\n"
        "by comma-separated options:\n"
        "  flash=FILE       initial flash contents, exactly 262144 bytes (default: a\n"
        "                   generated valid image with a device-info record, rest 0xFF)\n"
        "  latency-us=N     every request takes N microseconds longer (at most 10 s);\n"
        "                   a program's own time limit runs out as on a real bus\n"
        "  fail-at=K        the K-th request the device receives (from 1) stalls\n"
        "  unplug-at=K      the device vanishes when its K-th request arrives\n"
        "  corrupt-at=K     the K-th request, if a read, returns flipped bits\n"
        "  corrupt-byte=N   with corrupt-at: only byte N (0 to 63) of that answer is\n"
        "                   flipped\n"
        "  drop-write-at=K  the K-th write request (counting writes only, from 1) is\n"
        "                   acknowledged, but its data is not stored\n"
        "  serial=TEXT      the device's USB serial number string (printable ASCII)\n"
        "  arrive-ms=N      the device is plugged in N ms after COMMAND starts (absent\n"
        "                   until then)\n"
        "  leave-ms=N       the device is unplugged N ms after COMMAND starts\n"
        "arrive-ms and leave-ms may be given several times, taking turns in time order;\n"
        "a device whose first time is a leave-ms is present from the start.\n"
        "Each device has its own address, in --device order from 2 on bus 1, whether or\n"
        "not it is plugged in yet; each later plug-in gets the next free address.\n"
        "Without --device, one device " +
        std::string(kDefaultDevice) +
        " is hosted.\n"
        "One program at a time may claim a device; another one's claim is refused.\n"
        "The system-log entries the command writes are shown when it ends; with --journal\n"
        "the command finds a system journal instead, and its entries are shown with their\n"
        "fields (one journal: line each, the fields separated by \\x0A).\n"
        "Exit status: the command's; 125 when the launcher fails, 126/127 when the command\n"
        "cannot be run, 128+N when it is killed by signal N.\n\n"
        "Examples:\n  " +
        kName + " --device 0abc:0010:0102 -- sovra-flash list\n  " + kName +
        " --device 0abc:0010:0102,arrive-ms=2000,leave-ms=9000 \\\n      -- "
        "sovra-firmware-update");
    std::vector<std::string> deviceTexts;
    std::string saveDir;
    app.add_option("-d,--device", deviceTexts, "A device to host (repeatable)")
        ->type_name("SPEC")
        ->allow_extra_args(false);
    app.add_option("--save-flash", saveDir,
                   "Save each device's final flash as DIR/device-N.bin when the command ends")
        ->type_name("DIR");
    bool journal = false;
    app.add_flag("--journal", journal, "Offer the command a system journal and show its fields");
    app.set_version_flag("--version", std::string(kName) + " " + SOVRA_VERSION);
    try {
        app.parse(std::min(split, argc), argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kExitLauncherFailed;
    }
    if (command.empty()) {
        Fail("no command given; put it after --, e.g. " + std::string(kName) +
             " -- sovra-flash list (see --help)");
        return kExitLauncherFailed;
    }
    if (deviceTexts.empty()) {
        deviceTexts.emplace_back(kDefaultDevice);
    }

    // Everything is checked before anything is hosted.
    std::vector<DeviceSpec> specs;
    std::vector<std::vector<std::uint8_t>> flashes;
    for (const std::string& text : deviceTexts) {
        DeviceSpec spec;
        std::vector<std::uint8_t> flash;
        Error error = ParseDeviceSpec(text, spec);
        if (!error.Failed() && spec.flashFile) {
            error = LoadFlashFile(*spec.flashFile, flash);
        } else if (!error.Failed()) {
            flash = MakeSampleFlash({.seed = static_cast<std::uint32_t>(specs.size() + 1)});
        }
        if (error.Failed()) {
            Fail(error.What());
            return kExitLauncherFailed;
        }
        flashes.push_back(std::move(flash));
        specs.push_back(std::move(spec));
    }

    EnsurePreload(argv);
    UsbHost host;
    std::vector<PlugEvent> events;
    for (std::size_t i = 0; i < specs.size(); ++i) {
        auto model = std::make_shared<BeamformerModel>(std::move(flashes[i]), specs[i].faults);
        if (specs[i].PresentAtStart()) {
            host.Plug(specs[i].ids, std::move(model));
        } else {
            host.AddUnplugged(specs[i].ids, std::move(model));
        }
        for (const DeviceSpec::PlugTime& t : specs[i].plugTimes) {
            events.push_back({t.at, i, t.arrives});
        }
        std::fprintf(stderr, "%s: %s\n", kName, Describe(host, i, specs[i]).c_str());
    }
    SyslogCatcher catcher(host.Root() + "/dev/log");
    // The host's own journal, if it has one, would swallow the entries.
    std::optional<SyslogCatcher> journalCatcher;
    std::string journalPath;
    if (journal) {
        journalPath = host.Root() + "/run/journal.socket";
        journalCatcher.emplace(journalPath);
    }
    ::setenv(kJournalSocketVariable, journalPath.c_str(), 1);

    std::jthread plugs(RunPlugEvents, std::ref(host), std::move(events),
                       std::chrono::steady_clock::now());
    int status = RunCommand(command);
    plugs.request_stop();
    plugs.join();

    // A device the command saw vanish is off the bus before the flash is
    // taken, so the saved state is final.
    host.Settle();
    if (!saveDir.empty() && !SaveFlash(saveDir, host)) {
        Fail("the command exited with status " + std::to_string(status) +
             ", but the flash could not be saved");
        status = kExitLauncherFailed;
    }
    const auto show = [](const char* what, SyslogCatcher& from) {
        for (const std::string& entry : from.Finish()) {
            std::fprintf(stderr, "%s: %s\n", what, PrintableLogEntry(entry).c_str());
        }
    };
    show("system log", catcher);
    if (journalCatcher) {
        show("journal", *journalCatcher);
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        Fail(e.what());
        return kExitLauncherFailed;
    }
}
