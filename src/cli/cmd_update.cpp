#include "cli/cmd_update.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "app/event_log.h"
#include "cli/catalogue_option.h"
#include "cli/commands.h"
#include "cli/device_jobs.h"
#include "cli/update_display.h"
#include "cli/update_report.h"
#include "flash/firmware_file.h"
#include "update/update_engine.h"

namespace sovra::cli {
namespace {

// The firmware file (or, for a restore, the saved flash), whole, checked
// before anyone is asked or anything is opened: a job must never start
// with an image it cannot write.
bool LoadImage(const UpdateCliOptions& o, std::vector<std::uint8_t>& bytes, std::ostream& err) {
    std::string error;
    Status s = S_OK;
    if (o.mode == UpdateMode::kRestore) {
        FlashCheck check;
        s = LoadFlashDump(o.image, bytes, check, error);
        // Its own device is checked by the job, --force or not.
        if (s == E_IMAGE_BAD_CHECKSUM && o.force && !bytes.empty()) {
            return true;
        }
    } else {
        FirmwareFile file;
        s = LoadFirmwareFile(o.image, file, error);
        bytes = std::move(file.bytes);
    }
    if (Failed(s)) {
        if (s == E_FAIL) {
            ReportSystemEvent(kEventErrorReadingFirmwareFile);
        }
        err << "sovra-flash: " << TerminalSafe(error) << " Nothing was sent to any device.\n";
        return false;
    }
    return true;
}

// The rows to update, each once, in the order named.
bool ChooseDevices(const UpdateCliOptions& o, const FirmwareCatalogue& catalogue,
                   const DeviceAccess& access, std::vector<DeviceRow>& chosen, std::ostream& err) {
    std::vector<DeviceRow> rows;
    std::string error;
    if (!ListDeviceRows(catalogue, access, rows, error)) {
        err << "sovra-flash: cannot list devices: " << TerminalSafe(error) << '\n';
        return false;
    }
    if (o.all) {
        chosen = rows;
        if (chosen.empty()) {
            err << "sovra-flash: no connected device is known to the catalogue; nothing to "
                   "update.\n";
            return false;
        }
        return true;
    }
    for (const std::string& spec : o.devices) {
        const DeviceRow* row = ResolveDevice(spec, rows, error);
        if (row == nullptr) {
            err << "sovra-flash: " << error << " Nothing was sent to any device.\n";
            return false;
        }
        const bool seen = std::any_of(chosen.begin(), chosen.end(), [&](const DeviceRow& r) {
            return r.entry.path == row->entry.path;
        });
        if (!seen) {
            chosen.push_back(*row);
        }
    }
    return true;
}

bool Confirm(const UpdateCliOptions& o, const std::vector<DeviceRow>& devices, Console& console,
             std::ostream& err) {
    if (o.yes) {
        return true;
    }
    const bool restore = o.mode == UpdateMode::kRestore;
    if (!console.inIsTerminal) {
        err << "sovra-flash: not " << (restore ? "restoring" : "updating")
            << " without confirmation: standard input is not a terminal, so nobody can be "
               "asked. Pass --yes to go ahead without asking.\n";
        return false;
    }
    const std::size_t n = devices.size();
    const std::string these = n == 1 ? "the device" : "the devices";
    const std::string image = TerminalSafe(o.image);
    err << (restore ? "About to write '" + image + "' back to the whole flash of "
                    : "About to update ")
        << n << (n == 1 ? " device" : " devices") << (restore ? "" : " with '" + image + "'")
        << ":\n";
    for (const DeviceRow& d : devices) {
        err << "  " << TerminalSafe(d.text) << "  " << TerminalSafe(d.entry.path) << '\n';
    }
    err << "This takes a while. Do not unplug " << these << " or power " << (n == 1 ? "it" : "them")
        << " off until it has finished:\na failed update can leave " << these
        << " unusable.\nContinue? [y/N] " << std::flush;
    std::string answer;
    std::getline(console.in, answer);
    std::transform(answer.begin(), answer.end(), answer.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    answer.erase(0, answer.find_first_not_of(" \t\r"));
    answer.erase(answer.find_last_not_of(" \t\r") + 1);
    if (answer == "y" || answer == "yes") {
        return true;
    }
    err << "Nothing was done.\n";
    return false;
}

}  // namespace

int RunUpdate(const UpdateCliOptions& options, const DeviceAccess& access, Console& console,
              std::ostream& out, std::ostream& err) {
    UpdateCliOptions o = options;
    if ((o.devices.empty() && !o.all) || (!o.devices.empty() && o.all)) {
        err << "sovra-flash: name the devices with --device DEV, or --all.\n";
        return kExitUsage;
    }
    if (o.backup && o.noBackup) {
        err << "sovra-flash: --backup and --no-backup exclude each other.\n";
        return kExitUsage;
    }
    std::vector<std::uint8_t> image;
    if (!LoadImage(o, image, err)) {
        return kExitRefused;
    }
    const auto catalogue = LoadDeviceCatalogue(o.catalogue, err);
    if (!catalogue) {
        return kExitRefused;
    }
    // A firmware file the catalogue pins to a digest must be that file, and
    // a signed catalogue must vouch for it. A restore writes the device's
    // own data back and needs neither.
    SignatureCheck signature;
    if (o.mode != UpdateMode::kRestore &&
        !FirmwareAdmitted(*catalogue, o.image, Sha256(image), signature, err)) {
        ReportSystemEvent(kEventErrorReadingFirmwareFile);
        err << "Nothing was sent to any device.\n";
        return kExitRefused;
    }
    o.signingKey = signature.SigningKey();
    std::vector<DeviceRow> devices;
    if (!ChooseDevices(o, *catalogue, access, devices, err)) {
        return kExitRefused;
    }
    if (o.backup && devices.size() > 1) {
        err << "sovra-flash: --backup FILE names one file, but " << devices.size()
            << " devices are to be updated; leave it out to keep one backup per device in "
            << TerminalSafe(DefaultBackupFolder()) << ".\n";
        return kExitUsage;
    }
    const BackupPolicy backup = BackupPolicyOf(o);
    // Found out now rather than after minutes of reading each device.
    if (const Error e = CheckBackupPlace(backup); e.Failed()) {
        err << "sovra-flash: cannot keep a backup: " << TerminalSafe(e.What())
            << ". Name a new file with --backup FILE, or pass --no-backup. Nothing was sent to "
               "any device.\n";
        return kExitRefused;
    }

    // Bind every device before asking: a device that cannot be had stops
    // everything while nothing has been sent.
    Wakeup wakeup;
    std::atomic<bool> cancel{false};
    std::vector<std::unique_ptr<DeviceJob>> jobs;
    for (const DeviceRow& row : devices) {
        DeviceControl control = access.openControl(row.entry);
        if (!control.channel) {
            ReportDeviceEvent(row.entry.path, kEventErrorOpeningDevice);
            err << "sovra-flash: " << TerminalSafe(BindFailureMessage(control))
                << " Nothing was sent to any device.\n";
            return kExitRefused;
        }
        jobs.push_back(MakeDeviceJob(row, std::move(control.channel), o, image, backup, &cancel,
                                     [&wakeup] { wakeup.Notify(); }));
    }
    if (!Confirm(o, devices, console, err)) {
        return kExitRefused;
    }

    UpdateDisplay display(err, console.errIsTerminal, console.columns);
    for (auto& job : jobs) {
        display.Add({job->label, &job->progress, std::chrono::steady_clock::now()});
    }
    // Ctrl-C and the like are caught from here on and turned into a request
    // to stop: taken at once by a job still reading, but only after the end
    // by one that has begun writing.
    const HeldSignals held;
    for (auto& job : jobs) {
        job->run.Start(job->job, job->progress);
    }
    display.Run(wakeup, [&] {
        if (held.Arrived() && !cancel.exchange(true)) {
            display.Note(kInterruptedNote);
        }
    });

    bool allGood = true;
    nlohmann::json results = nlohmann::json::array();
    for (auto& job : jobs) {
        job->run.Join();
        const DeviceOutcome outcome = job->Outcome();
        allGood = allGood && outcome.result.Succeeded();
        if (o.json) {
            results.push_back(OutcomeJson(o, outcome));
        } else {
            PrintOutcome(o, outcome, out);
        }
    }
    if (o.json) {
        out << results.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    }
    out.flush();
    return allGood ? kExitOk : kExitRefused;
}

namespace {

constexpr const char* kUpdateFooter =
    R"(DEV is a device path as `sovra-flash list` prints it (/dev/bus/usb/001/004),
or VID:PID in hexadecimal (0abc:0010) when exactly one listed device has
those ids. Several devices are updated at once, each by its own worker.

The whole flash is read and confirmed (by the image's own checksum, or by
reading it twice), then saved as a backup before anything is written: by
default a new file in $XDG_STATE_HOME/sovra-firmware-update/backups
(~/.local/state/... when unset), named by ids, unit (or bus and address when
the flash holds no information block) and UTC time; --backup FILE must name a
file that does not exist yet. A device whose flash already holds the image the
update would write is left alone: "up to date", exit 0, nothing written, no
backup (--reinstall writes it anyway). Each result names the unit: the
fingerprint of its device data and its USB serial number. A firmware file
without a device-info record is refused when the device's flash holds one,
and so is one that a catalogue entry naming the same file pins to another
SHA256. With trusted keys installed, the catalogue must carry a good
signature by one of them and pin the firmware file (see the manual's SIGNED
BUNDLES). After writing, the written
range is read back and compared. Ctrl-C, a hang-up or a termination request
stops an update that is still reading; one that is writing finishes first.

Examples:
  sovra-flash update --device 0abc:0010 --firmware bf100.img
  sovra-flash update --all --firmware bf100.img --yes --json

Exit status: 0 when every device holds its new image, 1 when an update
failed or was refused, 2 on a usage error. A failed update says what the
device now holds and the `sovra-flash restore` command that puts its old
flash back.
)";

constexpr const char* kRestoreFooter =
    R"(FILE must be a whole, valid 256 KiB flash (records, end marker, checksum and
a device-info record), such as a backup `update` kept or a `sovra-flash
dump`. It is written as it is, with no merge, and read back to check it.
The device's present flash is saved first, as `update` does. A FILE whose
device data (the first half of its information block: serial number,
calibration) differs from the device's own is refused unless --force is
given, since writing it would give this device another device's identity;
so is any FILE when the device's flash holds no readable information block,
unless the history shows FILE was kept from a unit with the device's USB
serial number. A FILE whose checksum does not add up (the backup of a flash
that was already damaged) is written only with --force, and only onto the
device whose device data it holds.

Example:
  sovra-flash restore --device /dev/bus/usb/001/004 \
      --image ~/.local/state/sovra-firmware-update/backups/0abc-0010-1f2e3d4c5b6a7988-20261207T214420Z.bin
)";

Console& SystemConsole() {
    static Console console{std::cin, ::isatty(STDIN_FILENO) == 1, ::isatty(STDERR_FILENO) == 1,
                           StderrColumns()};
    return console;
}

CLI::Option* AddDeviceCatalogueOption(CLI::App* cmd, std::string& path) {
    return AddCatalogueOption(cmd, path, "The catalogue that names the known devices");
}

}  // namespace

void AddUpdate(CLI::App& app, Runner& run) {
    CLI::App* cmd = app.add_subcommand("update", "Update devices with a firmware file");
    auto o = std::make_shared<UpdateCliOptions>();
    auto catalogue = std::make_shared<std::string>();
    auto backup = std::make_shared<std::string>();
    CLI::Option* device =
        cmd->add_option("--device", o->devices, "A device to update; may be given several times")
            ->type_name("DEV")
            ->allow_extra_args(false)
            ->take_all();
    CLI::Option* all = cmd->add_flag("--all", o->all, "Update every listed device");
    all->excludes(device);
    cmd->add_option("--firmware", o->image, "The firmware image file")
        ->type_name("FILE")
        ->required();
    CLI::Option* catalogueOption = AddDeviceCatalogueOption(cmd, *catalogue);
    CLI::Option* backupOption =
        cmd->add_option("--backup", *backup,
                        "Where to keep the old flash: a new file (one device only)")
            ->type_name("FILE");
    cmd->add_flag("--no-backup", o->noBackup, "Keep no backup of the old flash")
        ->excludes(backupOption);
    cmd->add_flag("--no-verify", o->noVerify, "Do not read the written image back");
    cmd->add_flag("--reinstall", o->reinstall, "Write a device that already holds the firmware");
    cmd->add_flag("--yes", o->yes, "Do not ask for confirmation");
    cmd->add_flag("--json", o->json, "Print the results as a JSON array");
    cmd->footer(std::string(kUpdateFooter) + kCatalogueLookupHelp);
    cmd->callback([&run, o, catalogue, backup, catalogueOption, backupOption, device, all] {
        if (device->count() == 0 && all->count() == 0) {
            throw CLI::RequiredError("--device or --all");
        }
        if (catalogueOption->count() > 0) {
            o->catalogue = *catalogue;
        }
        if (backupOption->count() > 0) {
            o->backup = *backup;
        }
        run = [o] {
            return RunUpdate(*o, SystemDeviceAccess(), SystemConsole(), std::cout, std::cerr);
        };
    });
}

void AddRestore(CLI::App& app, Runner& run) {
    CLI::App* cmd =
        app.add_subcommand("restore", "Write a whole 256 KiB flash dump back to a device");
    auto o = std::make_shared<UpdateCliOptions>();
    o->mode = UpdateMode::kRestore;
    auto catalogue = std::make_shared<std::string>();
    auto device = std::make_shared<std::string>();
    auto backup = std::make_shared<std::string>();
    cmd->add_option("--device", *device, "The device to write")->type_name("DEV")->required();
    cmd->add_option("--image", o->image, "The dump to write (exactly 262144 bytes)")
        ->type_name("FILE")
        ->required();
    CLI::Option* catalogueOption = AddDeviceCatalogueOption(cmd, *catalogue);
    CLI::Option* backupOption =
        cmd->add_option("--backup", *backup, "Where to keep the present flash (a new file)")
            ->type_name("FILE");
    cmd->add_flag("--no-backup", o->noBackup, "Keep no backup of the present flash")
        ->excludes(backupOption);
    cmd->add_flag("--force", o->force,
                  "Write the image even if it was saved from another device, or (onto its own "
                  "device only) if its checksum does not add up");
    cmd->add_flag("--yes", o->yes, "Do not ask for confirmation");
    cmd->add_flag("--json", o->json, "Print the result as a JSON array");
    cmd->footer(std::string(kRestoreFooter) + kCatalogueLookupHelp);
    cmd->callback([&run, o, catalogue, device, backup, catalogueOption, backupOption] {
        o->devices = {*device};
        if (catalogueOption->count() > 0) {
            o->catalogue = *catalogue;
        }
        if (backupOption->count() > 0) {
            o->backup = *backup;
        }
        run = [o] {
            return RunUpdate(*o, SystemDeviceAccess(), SystemConsole(), std::cout, std::cerr);
        };
    });
}

}  // namespace sovra::cli
