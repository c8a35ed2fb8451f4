// `sovra-flash merge`: Stage 2 of an update without a device, from a saved
// read-back and a firmware file, exactly as an update runs it.

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <span>
#include <vector>

#include "app/files.h"
#include "app/safe_text.h"
#include "cli/cmd_image.h"
#include "cli/commands.h"
#include "flash/firmware_file.h"
#include "flash/flash_command.h"
#include "flash/image_format.h"
#include "flash/merge.h"

namespace sovra::cli {
namespace {

constexpr const char* kFooter = R"(Examples:
  sovra-flash merge --readback dump.bin --firmware new.bin --output merged.bin
      the image an update of the device that gave dump.bin would write
  sovra-flash merge --readback dump.bin --firmware new.bin --output merged.bin \
      --now 2026-03-01T12:00:00Z --flash-image
      the whole 256 KiB buffer as the merge leaves it, stamped with a fixed
      time: the same inputs and --now always give the same bytes

The read-back must be exactly 256 KiB (a dump of the whole flash). Nothing
is written when the firmware file cannot be merged.
)";

}  // namespace

int RunMerge(const MergeOptions& options, std::ostream& out, std::ostream& err) {
    std::unique_ptr<Clock> clock = std::make_unique<SystemClock>();
    if (FileTime now = 0; options.now) {
        if (!ReadTimeOption(options.now, "--now", /*nonZero=*/false, now, err)) {
            return kExitUsage;
        }
        clock = std::make_unique<FixedClock>(now);
    }

    // Refused before anything is read: the output replaces its file only
    // at the end, but by then an input given twice would be gone.
    std::string error = OutputClashes(options.output, {{options.readback, "the read-back"},
                                                       {options.firmware, "the firmware file"}});
    if (error.empty()) {
        if (const Error e = CheckCanCreate(options.output); e.Failed()) {
            return Refuse(err, e);
        }
    }
    if (!error.empty()) {
        return Refuse(err, error);
    }

    // The read-back is taken as it is, walkable or not: the merge keeps the
    // firmware file's own block when it finds none to carry over.
    std::vector<std::uint8_t> flash;
    if (const Error e = ReadRegularFile(options.readback, FlashSize, flash); e.Failed()) {
        return Refuse(err, e);
    }
    if (flash.size() != FlashSize) {
        err << "sovra-flash: '" << TerminalSafe(options.readback) << "' is " << flash.size()
            << " bytes; a read-back is the whole flash, exactly " << FlashSize << " bytes.\n";
        return kExitRefused;
    }
    FirmwareFile firmware;
    if (const Error e = LoadFirmwareFile(options.firmware, firmware); e.Failed()) {
        return Refuse(err, e);
    }

    const bool firmwareHasRecord = firmware.layout.deviceInfoRecords > 0;
    std::uint32_t length = static_cast<std::uint32_t>(firmware.bytes.size());
    NullProgress progress;
    bool carried = false;
    const Status s = MergeFirmware(flash, firmware.bytes, length, *clock, progress, &carried);
    if (s != S_OK) {
        return Refuse(err,
                      "cannot merge '" + options.firmware + "': " + std::string(StatusText(s)));
    }

    const std::size_t size = options.flashImage ? flash.size() : length;
    if (const Error e =
            WriteFileAtomically(options.output, std::span<const std::uint8_t>(flash).first(size));
        e.Failed()) {
        return Refuse(err, e);
    }
    // Said as the merge did it: a block is carried over only into a
    // device-info record of the firmware file.
    const char* block = carried             ? "device-info block carried over from the read-back"
                        : firmwareHasRecord ? "device-info block the firmware file's own"
                                            : "no device-info block";
    out << "wrote '" << TerminalSafe(options.output) << "': " << size << " bytes; image length "
        << length << ", " << block << ".\n";
    return kExitOk;
}

void AddMerge(CLI::App& app, Runner& run) {
    CLI::App* cmd = app.add_subcommand(
        "merge", "Build the image an update would write, from a read-back and a firmware file");
    auto options = std::make_shared<MergeOptions>();
    cmd->add_option("--readback", options->readback, "The device's whole flash, 256 KiB")
        ->required()
        ->type_name("FILE");
    cmd->add_option("--firmware", options->firmware, "The firmware file")
        ->required()
        ->type_name("FILE");
    cmd->add_option("--output", options->output, "Where to write the result")
        ->required()
        ->type_name("FILE");
    AddTextOption(cmd, "--now", options->now,
                  "The time of the update: a decimal FILETIME or a UTC time "
                  "(default: the system clock)")
        ->type_name("TIME");
    cmd->add_flag("--flash-image", options->flashImage,
                  "Write the whole 256 KiB buffer instead of the new image alone");
    cmd->footer(kFooter);
    RunWhenChosen(cmd, run, [options] { return RunMerge(*options, std::cout, std::cerr); });
}

}  // namespace sovra::cli
