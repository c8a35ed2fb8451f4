// `sovra-flash sample-image`: writes a generated, valid firmware image or a
// whole flash holding one, for trying the tool without real firmware.

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <vector>

#include "app/files.h"
#include "app/safe_text.h"
#include "cli/cmd_image.h"
#include "cli/commands.h"
#include "flash/flash_command.h"

namespace sovra::cli {
namespace {

constexpr const char* kFooter = R"(Examples:
  sovra-flash sample-image --output firmware.bin
      a firmware file: 4 records of 256 words and a device-info record
  sovra-flash sample-image --flash --seed 7 --kept 2024-05-01T08:00:00Z \
      --updated 2025-01-15T10:30:00Z --output dump.bin
      a 256 KiB flash as a device would hold it, to try `merge` against

The same options always give the same bytes; --seed changes the data words
and the device data.
)";

// Far more than a flash holds; larger files only test how a reader refuses
// them, and this size does that.
constexpr std::uint64_t kMaxFileBytes = 4u * FlashSize;

}  // namespace

bool ReadTimeOption(const std::optional<std::string>& text, const char* option, bool nonZero,
                    FileTime& out, std::ostream& err) {
    if (!text) {
        return true;
    }
    const auto t = ParseFileTime(*text);
    if (!t || (nonZero && *t == 0)) {
        err << "sovra-flash: " << option << " '" << TerminalSafe(*text) << "' is neither a "
            << (nonZero ? "non-zero " : "")
            << "decimal FILETIME nor a UTC time like 2026-03-01T12:00:00Z.\n";
        return false;
    }
    out = *t;
    return true;
}

int RunSampleImage(const SampleImageCliOptions& options, std::ostream& out, std::ostream& err) {
    SampleImageOptions image = options.image;
    if (!ReadTimeOption(options.kept, "--kept", /*nonZero=*/true, image.keptTime, err) ||
        !ReadTimeOption(options.updated, "--updated", /*nonZero=*/true, image.updateTime, err)) {
        return kExitUsage;
    }
    if (const Error e = CheckCanCreate(options.output); e.Failed()) {
        return Refuse(err, e);
    }
    const std::uint64_t length = SampleImageLength(image);
    const std::uint64_t limit = options.flash ? FlashSize : kMaxFileBytes;
    if (length > limit) {
        err << "sovra-flash: the image would be "
            << (length == UINT64_MAX ? std::string("far") : std::to_string(length) + " bytes,")
            << " more than the " << (options.flash ? "flash holds" : "tool writes") << " (" << limit
            << " bytes); use fewer --records or --words.\n";
        return kExitRefused;
    }
    const std::vector<std::uint8_t> bytes =
        options.flash ? MakeSampleFlash(image) : MakeSampleImage(image);
    if (const Error e = WriteFileAtomically(options.output, bytes); e.Failed()) {
        return Refuse(err, e);
    }
    out << "wrote '" << TerminalSafe(options.output) << "': " << bytes.size()
        << " bytes, image length " << length << ".\n";
    return kExitOk;
}

void AddSampleImage(CLI::App& app, Runner& run) {
    CLI::App* cmd =
        app.add_subcommand("sample-image", "Write a generated firmware image or flash dump");
    auto options = std::make_shared<SampleImageCliOptions>();
    cmd->add_option("--output", options->output, "Where to write it")
        ->required()
        ->type_name("FILE");
    cmd->add_flag("--flash", options->flash,
                  "Write a whole 256 KiB flash holding the image, the rest 0xFF");
    cmd->add_option("--seed", options->image.seed, "Varies the data words and the device data")
        ->capture_default_str();
    cmd->add_option("--records", options->image.records,
                    "Ordinary records besides the device-info one")
        ->capture_default_str();
    cmd->add_option("--words", options->image.wordsPerRecord, "Data words of each ordinary record")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    cmd->add_option("--header", options->image.headerWord, "Image word 0")->capture_default_str();
    cmd->add_flag_callback(
        "--no-device-info", [options] { options->image.deviceInfo = false; },
        "Leave out the device-info record");
    AddTextOption(cmd, "--kept", options->kept,
                  "Add a KeptTime entry: a decimal FILETIME or a UTC time")
        ->type_name("TIME");
    AddTextOption(cmd, "--updated", options->updated, "Add an UpdateTime entry: likewise")
        ->type_name("TIME");
    cmd->footer(kFooter);
    RunWhenChosen(cmd, run, [options] { return RunSampleImage(*options, std::cout, std::cerr); });
}

}  // namespace sovra::cli
