#include "cli/cmd_dump.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <memory>
#include <vector>

#include "app/files.h"
#include "app/safe_text.h"
#include "cli/catalogue_option.h"
#include "cli/commands.h"
#include "cli/progress_bar.h"
#include "flash/flash_command.h"
#include "flash/flash_stages.h"
#include "flash/image_format.h"
#include "update/state.h"

namespace sovra::cli {
namespace {

constexpr const char* kFooter =
    R"(DEV is a device path as `sovra-flash list` prints it (/dev/bus/usb/001/004),
or VID:PID in hexadecimal (0abc:0010) when exactly one listed device has
those ids.

Example:
  sovra-flash dump --device 0abc:0010 --output backup.bin

The flash is read once and confirmed as an update's read is: by the image's
own checksum and a second read of the few words it does not cover, or, when
the flash holds no valid image, by reading it all twice. The file is
written only when every request succeeded; a failed request names the chunk
address and leaves no file behind.
)";

void Refuse(std::ostream& err, const std::string& message) {
    err << "sovra-flash: " << TerminalSafe(message) << '\n';
}

// The read's stage bar, drawn as the command line's progress bar.
class BarProgress final : public StageProgress {
  public:
    explicit BarProgress(ProgressBar& bar) : bar_(bar) {}
    int StagePosition() const override { return position_; }
    void AdvanceTo(int position) override { SetStagePosition(position); }
    void SetStagePosition(int position) override {
        position_ = position;
        bar_.Update(static_cast<std::uint64_t>(position), 100);
    }
    void SetOperation(Operation) override {}
    void RestartStage(Operation) override { SetStagePosition(0); }
    void CountRequests(std::uint32_t) override {}

  private:
    ProgressBar& bar_;
    int position_ = 0;
};

}  // namespace

int RunDump(const DumpOptions& options, const DeviceAccess& access, std::ostream& out,
            std::ostream& err, bool terminal) {
    // Found out before minutes of reading: an output that would destroy an
    // input, or that cannot be written.
    if (const std::string clash = CatalogueOutputClash(options.catalogue, options.output);
        !clash.empty()) {
        Refuse(err, clash);
        return kExitRefused;
    }
    if (std::string error; !CheckCanCreate(options.output, error)) {
        Refuse(err, error);
        return kExitRefused;
    }
    const auto catalogue = LoadDeviceCatalogue(options.catalogue, err);
    if (!catalogue) {
        return kExitRefused;
    }
    std::vector<DeviceRow> rows;
    std::string error;
    if (!ListDeviceRows(*catalogue, access, rows, error)) {
        Refuse(err, "cannot list devices: " + error);
        return kExitRefused;
    }
    const DeviceRow* row = ResolveDevice(options.device, rows, error);
    if (row == nullptr) {
        Refuse(err, error);
        return kExitRefused;
    }
    // The row's entry is copied: nothing refers into the list past here.
    const DeviceEntry entry = row->entry;
    const std::string name = TerminalSafe(row->text);

    DeviceControl control = access.openControl(entry);
    if (!control.channel) {
        Refuse(err, BindFailureMessage(control));
        return kExitRefused;
    }
    std::vector<std::uint8_t> flash(FlashSize);
    Status status = S_OK;
    {
        ProgressBar bar(err, terminal, "Reading flash");
        BarProgress progress(bar);
        ReadBackReport report;
        status = ReadFlash(*control.channel, flash, progress, nullptr, report, error);
        if (Succeeded(status)) {
            bar.Update(100, 100);
        }
    }
    control.channel.reset();
    if (Failed(status)) {
        Refuse(err, "cannot dump " + entry.path + ": " + error + ". Nothing was written.");
        return kExitRefused;
    }
    if (const FlashCheck check = CheckFlashContents(flash); check.status != S_OK) {
        err << "sovra-flash: warning: the flash of " << TerminalSafe(entry.path)
            << " is not a valid image: " << StatusText(check.status)
            << " It is saved as it is, but `restore` will not write it back.\n";
    }

    if (!WriteFileAtomically(options.output, flash, error)) {
        Refuse(err, error);
        return kExitRefused;
    }
    const std::string unit = UnitFingerprint(flash);
    out << "Saved the " << flash.size() << "-byte flash of " << name << " ("
        << TerminalSafe(entry.path) << ", unit " << (unit.empty() ? "unknown" : unit) << ", serial "
        << (entry.serial.empty() ? "unknown" : TerminalSafe(entry.serial)) << ") to "
        << TerminalSafe(options.output) << ".\n";
    return kExitOk;
}

void AddDump(CLI::App& app, Runner& run) {
    CLI::App* cmd = app.add_subcommand("dump", "Save a device's whole flash to a file");
    auto options = std::make_shared<DumpOptions>();
    auto path = std::make_shared<std::string>();
    cmd->add_option("--device", options->device, "The device: its path, or VID:PID in hex")
        ->type_name("DEV")
        ->required();
    cmd->add_option("--output", options->output, "The file to write (256 KiB)")
        ->type_name("FILE")
        ->required();
    CLI::Option* catalogueOption =
        AddCatalogueOption(cmd, *path, "The catalogue that names the known devices");
    cmd->footer(std::string(kFooter) + kCatalogueLookupHelp);
    cmd->callback([&run, options, path, catalogueOption] {
        if (catalogueOption->count() > 0) {
            options->catalogue = *path;
        }
        run = [options] {
            return RunDump(*options, SystemDeviceAccess(), std::cout, std::cerr,
                           StderrIsTerminal());
        };
    });
}

}  // namespace sovra::cli
