#include "cli/cmd_watch.h"

#include <poll.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cctype>
#include <charconv>
#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "app/event_log.h"
#include "cli/catalogue_option.h"
#include "cli/commands.h"
#include "cli/device_jobs.h"
#include "cli/update_report.h"
#include "flash/firmware_file.h"

namespace sovra::cli {
namespace {

constexpr const char* kFooter =
    R"(Updates every device the catalogue knows that is present when it starts, and
each one plugged in afterwards, once per plug-in, several at a time: each
arrival and removal is taken in order, so a unit unplugged and plugged back
at once is seen again. A device that stays plugged in after its update is
not updated again until it is unplugged and plugged in again. Each update is
the one `update` makes: the flash read and confirmed, a backup kept, the
merge, the write and its check; a unit that already holds the firmware (one
plugged back in after its update) is "up to date" and nothing is written,
unless --reinstall is given. Giving the command is the confirmation: nothing is asked. A firmware file that a
catalogue entry pins to another SHA256 is refused before any device is
touched, and so is one a signed catalogue does not pin, or a catalogue
without a good signature when trusted keys are installed.

It stops after N finished updates with --count N, or on Ctrl-C or a
termination request: updates still reading stop at once and leave their
device untouched; those writing finish first.

Examples:
  sovra-flash watch --firmware bf100.img
  sovra-flash watch --firmware bf100.img --count 20 --json >> line-7.jsonl

With --json each finished device is one JSON object on a line of its own,
with the keys of an element of `update --json`'s array.

Exit status: 0 when every update succeeded, 1 when any failed or the inputs
were refused, 2 on a usage error.
)";

// How often the jobs are looked at while no device comes or goes.
constexpr int kLookMs = 50;

struct Tally {
    std::uint64_t updated = 0;
    std::uint64_t upToDate = 0;
    std::uint64_t failed = 0;
    std::uint64_t running = 0;

    std::string Text() const {
        return "updated " + std::to_string(updated) + ", up to date " + std::to_string(upToDate) +
               ", failed " + std::to_string(failed) + ", in progress " + std::to_string(running);
    }
};

// The outcome of a device that could not even be bound.
DeviceOutcome Unbound(const DeviceRow& row, const DeviceControl& control) {
    DeviceOutcome o{row.entry.path, row.text, TerminalSafe(row.entry.path), {}};
    o.result.status = Failed(control.status) ? control.status : E_FAIL;
    o.result.endedIn = UpdateStep::kPrecondition;
    o.result.failure = BindFailureMessage(control);
    if (!o.result.failure.empty() && o.result.failure.back() == '.') {
        o.result.failure.pop_back();
    }
    return o;
}

class Watcher {
  public:
    Watcher(const WatchOptions& w, const UpdateCliOptions& o, std::span<const std::uint8_t> image,
            const FirmwareCatalogue& catalogue, DeviceSource& source, const DeviceAccess& access,
            bool terminal, std::ostream& out, std::ostream& err)
        : w_(w),
          o_(o),
          image_(image),
          catalogue_(catalogue),
          source_(source),
          access_(access),
          terminal_(terminal),
          out_(out),
          err_(err),
          backup_(BackupPolicyOf(o)) {}

    int Run() {
        const HeldSignals held;
        // Those present at the start count as plugged in now.
        for (const PresentDevice& d : source_.PresentDevices()) {
            Arrived(d);
        }
        for (;;) {
            if (held.Arrived() && !stopping_) {
                stopping_ = true;
                cancel_.store(true);
                Say(kInterruptedNote);
            }
            Collect();
            if (w_.count && finished_ >= *w_.count) {
                stopping_ = true;
            }
            if (stopping_ && running_.empty()) {
                break;
            }
            pollfd p{source_.EventFd(), POLLIN, 0};
            if (::poll(&p, p.fd >= 0 ? 1 : 0, kLookMs) > 0) {
                for (const DeviceChange& change : source_.DrainEvents()) {
                    if (change.path.empty()) {
                        continue;
                    }
                    if (change.arrived) {
                        if (change.ids) {
                            Arrived({change.path, *change.ids, change.serial});
                        }
                    } else {
                        done_.erase(change.path);
                        again_.erase(change.path);
                    }
                }
            }
        }
        ShowTally(/*last=*/true);
        return tally_.failed == 0 && !outputLost_ ? kExitOk : kExitRefused;
    }

  private:
    // A plug-in: started, unless it is known already (seen both in the
    // first list and as an event), or its node's last update still runs
    // (then it starts when that one has ended).
    void Arrived(const PresentDevice& device) {
        if (done_.contains(device.path)) {
            return;
        }
        const std::vector<DeviceRow> rows =
            BuildDeviceRows(catalogue_, std::span<const PresentDevice>(&device, 1));
        if (rows.empty()) {
            return;
        }
        done_.insert(device.path);
        if (running_.contains(device.path)) {
            again_.insert_or_assign(device.path, rows.front());
        } else {
            Start(rows.front());
        }
    }

    void Start(const DeviceRow& row) {
        if (stopping_ || (w_.count && started_ >= *w_.count)) {
            return;
        }
        ++started_;
        DeviceControl control = access_.openControl(row.entry);
        if (!control.channel) {
            ReportDeviceEvent(row.entry.path, kEventErrorOpeningDevice);
            Finished(Unbound(row, control));
            return;
        }
        auto job =
            MakeDeviceJob(row, std::move(control.channel), o_, image_, backup_, &cancel_, {});
        Say(job->label + ": updating (" + TerminalSafe(row.text) + ")");
        job->run.Start(job->job, job->progress);
        running_[row.entry.path] = std::move(job);
        tally_.running = running_.size();
        ShowTally();
    }

    void Collect() {
        for (auto it = running_.begin(); it != running_.end();) {
            if (!it->second->progress.Finished()) {
                ++it;
                continue;
            }
            it->second->run.Join();
            const DeviceOutcome outcome = it->second->Outcome();
            const std::string path = it->first;
            it = running_.erase(it);
            tally_.running = running_.size();
            Finished(outcome);
            if (!outcome.result.historyFailure.empty()) {
                Say(outcome.label + ": " + TerminalSafe(outcome.result.historyFailure) + ".");
            }
            // Plugged back in while this update still ran.
            if (const auto again = again_.find(path); again != again_.end()) {
                const DeviceRow row = again->second;
                again_.erase(again);
                Start(row);
            }
        }
    }

    void Finished(const DeviceOutcome& outcome) {
        ++finished_;
        (!outcome.result.Succeeded() ? tally_.failed
         : outcome.result.upToDate   ? tally_.upToDate
                                     : tally_.updated) += 1;
        ClearTally();
        if (w_.json) {
            out_ << OutcomeJson(o_, outcome)
                        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                 << '\n';
        } else {
            PrintOutcome(o_, outcome, out_);
        }
        out_.flush();
        // The results are the line's record: once they cannot be written,
        // no more units are started (those running finish), and the exit
        // status says so.
        if (!out_ && !outputLost_) {
            outputLost_ = true;
            stopping_ = true;
            ClearTally();
            err_ << "sovra-flash: cannot write the results; no more devices are started.\n";
        }
        ShowTally();
    }

    // A line for the user: on stdout among the results, but on stderr when
    // stdout carries JSON.
    void Say(const std::string& line) {
        ClearTally();
        (w_.json ? err_ : out_) << line << '\n';
        (w_.json ? err_ : out_).flush();
        ShowTally();
    }

    // The tally lives on the last line of a terminal; elsewhere it is
    // printed after each finished device, and at the end.
    void ShowTally(bool last = false) {
        if (terminal_) {
            err_ << "\r\033[2K" << tally_.Text() << (last ? "\n" : "") << std::flush;
            tallyShown_ = !last;
        } else if (finished_ != tallyPrintedAt_ || (last && finished_ == 0)) {
            tallyPrintedAt_ = finished_;
            err_ << tally_.Text() << '\n' << std::flush;
        }
    }
    void ClearTally() {
        if (terminal_ && tallyShown_) {
            err_ << "\r\033[2K" << std::flush;
            tallyShown_ = false;
        }
    }

    const WatchOptions& w_;
    const UpdateCliOptions& o_;
    std::span<const std::uint8_t> image_;
    const FirmwareCatalogue& catalogue_;
    DeviceSource& source_;
    const DeviceAccess& access_;
    bool terminal_;
    std::ostream& out_;
    std::ostream& err_;
    BackupPolicy backup_;

    std::atomic<bool> cancel_{false};
    bool stopping_ = false;
    bool outputLost_ = false;
    std::map<std::string, std::unique_ptr<DeviceJob>> running_;
    // Plugged in and taken, and not unplugged since (running or finished).
    std::set<std::string> done_;
    // Plugged back in while their last update still ran.
    std::map<std::string, DeviceRow> again_;
    std::uint64_t started_ = 0;
    std::uint64_t finished_ = 0;
    std::uint64_t tallyPrintedAt_ = 0;
    bool tallyShown_ = false;
    Tally tally_;
};

}  // namespace

int RunWatch(const WatchOptions& w, const DeviceAccess& access, bool terminal, std::ostream& out,
             std::ostream& err) {
    if (w.count && *w.count == 0) {
        err << "sovra-flash: --count must be at least 1.\n";
        return kExitUsage;
    }
    FirmwareFile firmware;
    std::string error;
    if (const Status s = LoadFirmwareFile(w.firmware, firmware, error); Failed(s)) {
        if (s == E_FAIL) {
            ReportSystemEvent(kEventErrorReadingFirmwareFile);
        }
        err << "sovra-flash: " << TerminalSafe(error) << " Nothing was sent to any device.\n";
        return kExitRefused;
    }
    const auto catalogue = LoadDeviceCatalogue(w.catalogue, err);
    if (!catalogue) {
        return kExitRefused;
    }
    SignatureCheck signature;
    if (!FirmwareAdmitted(*catalogue, w.firmware, Sha256(firmware.bytes), signature, err)) {
        ReportSystemEvent(kEventErrorReadingFirmwareFile);
        err << "Nothing was sent to any device.\n";
        return kExitRefused;
    }
    UpdateCliOptions o;
    o.image = w.firmware;
    o.noBackup = w.noBackup;
    o.noVerify = w.noVerify;
    o.reinstall = w.reinstall;
    o.json = w.json;
    o.signingKey = signature.SigningKey();
    if (const Error e = CheckBackupPlace(BackupPolicyOf(o)); e.Failed()) {
        err << "sovra-flash: cannot keep a backup: " << TerminalSafe(e.What())
            << ". Pass --no-backup to go on without one. Nothing was sent to any device.\n";
        return kExitRefused;
    }
    std::unique_ptr<DeviceSource> source =
        access.openWatchingSource ? access.openWatchingSource(error) : nullptr;
    if (!source) {
        err << "sovra-flash: cannot watch for devices: " << TerminalSafe(error) << '\n';
        return kExitRefused;
    }
    Watcher watcher(w, o, firmware.bytes, *catalogue, *source, access, terminal, out, err);
    return watcher.Run();
}

void AddWatch(CLI::App& app, Runner& run) {
    CLI::App* cmd = app.add_subcommand(
        "watch", "Update every known device present or plugged in, once per plug-in");
    auto w = std::make_shared<WatchOptions>();
    auto catalogue = std::make_shared<std::string>();
    // Read by hand: a count is decimal digits, never "-1" wrapped round to
    // "no limit", nor a number past 2^64 taken as its largest.
    auto count = std::make_shared<std::string>();
    cmd->add_option("--firmware", w->firmware, "The firmware image file")
        ->type_name("FILE")
        ->required();
    CLI::Option* catalogueOption =
        AddCatalogueOption(cmd, *catalogue, "The catalogue that names the known devices");
    CLI::Option* countOption =
        cmd->add_option("--count", *count, "Stop after this many finished updates")->type_name("N");
    cmd->add_flag("--json", w->json, "One JSON object per finished device, a line each");
    cmd->add_flag("--no-backup", w->noBackup, "Keep no backup of the old flash");
    cmd->add_flag("--no-verify", w->noVerify, "Do not read the written image back");
    cmd->add_flag("--reinstall", w->reinstall, "Write devices that already hold the firmware");
    cmd->footer(std::string(kFooter) + kCatalogueLookupHelp);
    cmd->callback([&run, w, catalogue, count, catalogueOption, countOption] {
        if (catalogueOption->count() > 0) {
            w->catalogue = *catalogue;
        }
        if (countOption->count() > 0) {
            std::uint64_t n = 0;
            const char* end = count->data() + count->size();
            const auto [stop, ec] = std::from_chars(count->data(), end, n);
            if (count->empty() || ec != std::errc() || stop != end ||
                !std::isdigit(static_cast<unsigned char>(count->front()))) {
                throw CLI::ValidationError(
                    "--count", "'" + TerminalSafe(*count) +
                                   "' is not a count of updates: give a whole number from 1 to " +
                                   std::to_string(UINT64_MAX));
            }
            w->count = n;
        }
        run = [w] {
            return RunWatch(*w, SystemDeviceAccess(), ::isatty(STDERR_FILENO) == 1, std::cout,
                            std::cerr);
        };
    });
}

}  // namespace sovra::cli
