#include "cli/cmd_firmware.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <iostream>
#include <memory>
#include <optional>

#include "app/files.h"
#include "catalogue/catalogue.h"
#include "cli/catalogue_option.h"
#include "cli/commands.h"
#include "cli/device_select.h"
#include "flash/flash_command.h"
#include "update/admission.h"

namespace sovra::cli {
namespace {

constexpr const char* kFooter = R"(Examples:
  sovra-flash firmware
      the choices of the catalogue found (see below), one per line: the row
      text as the desktop application shows it, a tab, the firmware file (its
      File_Name read from the catalogue's folder)
  sovra-flash firmware --catalogue /opt/sovra/FirmwareUpdate.xml --json
      the same as JSON: [{"text", "file", "device_name", "version", "sha256",
      "sha256_matches", "signature", "trusted"}, ...]

An entry whose Device element carries SHA256 (64 hexadecimal digits) pins
its firmware file: the file is read and checked. A file that does not match,
cannot be read, or an SHA256 that is not 64 hexadecimal digits is flagged on
stderr, and the exit code is 1; "sha256" is the attribute as written (null
without one), "sha256_matches" true or false (null without one).

"Signature:" on stderr says whether the catalogue is signed, by which key
(fingerprint and user id); with --json each row has it as "signature":
{"state", "fingerprint", "user_id"}, and "trusted" says whether the entry
may be used. When trusted keys are installed, a catalogue without a good
signature by one of them, or with an entry that gives no SHA256, makes the
exit code 1: update, watch and the desktop application would refuse it.

A catalogue that is not well-formed is listed as far as it could be read,
with a warning, as the desktop application would use it. Control characters
in the catalogue's texts are shown as \xNN in the plain listing.
)";

// The catalogue's signature as the "Signature:" line gives it.
std::string DescribeSignature(const SignatureCheck& s) {
    if (s.state == SignatureState::kUnchecked) {
        return "unsigned (no trusted key is installed, so none is asked for)";
    }
    std::string text(SignatureStateName(s.state));
    if (!s.fingerprint.empty()) {
        text += ", key " + s.fingerprint;
    }
    if (!s.userId.empty()) {
        text += " (" + s.userId + ")";
    }
    return text;
}

}  // namespace

int RunFirmware(const FirmwareOptions& options, std::ostream& out, std::ostream& err) {
    const auto loaded =
        LoadCatalogueOption(options.catalogue,
                            {.malformedUse = "showing the entries read before the error",
                             .missingDefault = "no firmware is on offer"},
                            err);
    if (!loaded) {
        return kExitRefused;
    }
    const FirmwareCatalogue& catalogue = *loaded;

    // With trusted keys installed, only a catalogue they signed is used, and
    // of it only the entries that pin their file.
    const bool read = catalogue.Outcome() == CatalogueLoad::kComplete ||
                      catalogue.Outcome() == CatalogueLoad::kMalformed;
    const SignatureCheck signature = read ? CheckCatalogueSignature(catalogue) : SignatureCheck{};
    if (read) {
        err << "Signature: " << TerminalSafe(DescribeSignature(signature)) << '\n';
    }
    bool trusted = !signature.Refused();
    if (!trusted) {
        err << "sovra-flash: " << TerminalSafe(SignatureRefusal(signature)) << '\n';
    }

    const std::vector<FirmwareChoice> choices = FirmwareChoices(catalogue);
    for (const FirmwareChoice& choice : choices) {
        const std::string unpinned =
            UnpinnedRefusal(signature, *choice.entry, "'" + TerminalSafe(choice.text) + "'");
        if (!unpinned.empty()) {
            err << "sovra-flash: " << unpinned << '\n';
            trusted = false;
        }
    }
    // Each pinned file checked against its entry, in the listing's order.
    std::vector<std::optional<bool>> matches;
    for (const FirmwareChoice& choice : choices) {
        const FirmwareEntry& entry = *choice.entry;
        if (!entry.sha256) {
            matches.emplace_back();
            continue;
        }
        std::vector<std::uint8_t> bytes;
        std::string failure;
        if (const Error e = ReadRegularFile(entry.path, FlashSize, bytes); e.Failed()) {
            failure = "the firmware file of '" + TerminalSafe(choice.text) +
                      "' cannot be checked against its SHA256: " + TerminalSafe(e.What()) + ".";
        } else {
            const Sha256Digest digest = Sha256(bytes);
            failure = TerminalSafe(PinFailure(entry, "'" + entry.path + "'", digest));
        }
        if (!failure.empty()) {
            err << "sovra-flash: " << failure << '\n';
        }
        matches.emplace_back(failure.empty());
    }
    const bool allMatch =
        std::none_of(matches.begin(), matches.end(), [](const auto& m) { return m == false; });

    if (options.json) {
        const nlohmann::json signed_ = {{"state", SignatureStateName(signature.state)},
                                        {"fingerprint", TextOrNull(signature.fingerprint)},
                                        {"user_id", TextOrNull(signature.userId)}};
        nlohmann::json rows = nlohmann::json::array();
        for (std::size_t i = 0; i < choices.size(); ++i) {
            const FirmwareEntry& entry = *choices[i].entry;
            rows.push_back(
                {{"text", choices[i].text},
                 {"file", entry.path},
                 {"device_name", entry.deviceName},
                 {"version", entry.version},
                 {"sha256", entry.sha256 ? nlohmann::json(*entry.sha256) : nullptr},
                 {"sha256_matches", matches[i] ? nlohmann::json(*matches[i]) : nullptr},
                 {"signature", signed_},
                 {"trusted", !signature.Refused() && matches[i] != false &&
                                 (entry.sha256 || signature.state == SignatureState::kUnchecked)}});
        }
        PrintJson(out, rows);
    } else {
        for (const FirmwareChoice& choice : choices) {
            // Catalogue texts are untrusted: keep one row to a line and the terminal
            // safe; the JSON listing carries the exact bytes.
            out << TerminalSafe(choice.text) << '\t' << TerminalSafe(choice.entry->path) << '\n';
        }
    }
    return Flushed(out, err, "the list of firmware choices",
                   allMatch && trusted ? kExitOk : kExitRefused);
}

void AddFirmware(CLI::App& app, Runner& run) {
    CLI::App* cmd = app.add_subcommand(
        "firmware",
        "List the firmware choices a catalogue offers, as the desktop application does");
    auto options = std::make_shared<FirmwareOptions>();
    AddCatalogue(cmd, options->catalogue);
    cmd->add_flag("--json", options->json, "Print a JSON array instead of lines");
    cmd->footer(std::string(kFooter) + kCatalogueLookupHelp);
    RunWhenChosen(cmd, run, [options] { return RunFirmware(*options, std::cout, std::cerr); });
}

}  // namespace sovra::cli
