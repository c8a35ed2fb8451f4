#include "cli/cmd_dump.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <memory>
#include <vector>

#include "cli/commands.h"
#include "cli/io.h"
#include "cli/progress_bar.h"
#include "flash/flash_command.h"

namespace sovra::cli {
namespace {

constexpr const char* kFooter =
    R"(DEV is a device path as `sovra-flash list` prints it (/dev/bus/usb/001/004),
or VID:PID in hexadecimal (0abc:0010) when exactly one listed device has
those ids.

Example:
  sovra-flash dump --device 0abc:0010 --output backup.bin

The file is written only when every request succeeded; a failed request
names the chunk address and leaves no file behind.
)";

void Refuse(std::ostream& err, const std::string& message) {
    err << "sovra-flash: " << message << '\n';
}

std::string ChunkAddressText(std::uint32_t address) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%05X", static_cast<unsigned>(address));
    return buf;
}

}  // namespace

int RunDump(const DumpOptions& options, const DeviceAccess& access, std::ostream& out,
            std::ostream& err, bool terminal) {
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
    DeviceChannel& channel = *control.channel;

    std::vector<std::uint8_t> flash(FlashSize);
    FlashCommand cmd;
    Status status = SendPrepare(channel, cmd);
    if (Failed(status)) {
        Refuse(err, "the prepare request to " + entry.path +
                        " failed: " + std::string(StatusText(status)));
        return kExitRefused;
    }
    {
        ProgressBar bar(err, terminal, "Reading flash");
        cmd.WriteHeader();
        for (std::uint32_t i = 0; i < ChunkCount; ++i) {
            const std::uint32_t address = i * ChunkSize;
            status = ReadChunk(channel, cmd, address, flash);
            if (Failed(status)) {
                bar.Finish();
                Refuse(err, "reading the flash of " + entry.path + " failed at chunk " +
                                ChunkAddressText(address) + " (" + std::to_string(i + 1) + " of " +
                                std::to_string(ChunkCount) +
                                "): " + std::string(StatusText(status)));
                return kExitRefused;
            }
            bar.Update(i + 1, ChunkCount);
        }
    }
    control.channel.reset();

    if (!WriteFileAtomically(options.output, flash.data(), flash.size(), error)) {
        Refuse(err, error);
        return kExitRefused;
    }
    out << "Saved the " << flash.size() << "-byte flash of " << name << " (" << entry.path
        << ") to " << options.output << ".\n";
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
        cmd->add_option("--catalogue", *path,
                        "The catalogue that names the known devices (default: "
                        "FirmwareUpdate.xml in the current directory)")
            ->type_name("FILE");
    cmd->footer(kFooter);
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
