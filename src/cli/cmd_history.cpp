#include "cli/cmd_history.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cctype>
#include <iostream>
#include <memory>

#include "cli/commands.h"
#include "cli/device_select.h"
#include "update/state.h"

namespace sovra::cli {
namespace {

constexpr const char* kFooter =
    R"(Every update and restore either program runs, success or failure, is kept in
$XDG_STATE_HOME/sovra-firmware-update/history.jsonl (~/.local/state/...
when unset), one JSON object per line: the UTC time, the program, the device
(path, vendor and product ids, revision), the unit (the fingerprint of its
device data) and its USB serial number (null when unknown), the firmware file
(path, size, SHA-256), how it ended ("updated", "up-to-date", "restored",
"failed"), what the device holds and the backup kept.

Examples:
  sovra-flash history
  sovra-flash history --device 0abc:0010 --json
  sovra-flash history --unit 1f2e3d4c

A damaged line is skipped with a warning.
)";

bool Wanted(const HistoryRecord& r, const std::optional<std::string>& device,
            const std::optional<std::string>& unit) {
    if (unit && (!r.unit || !r.unit->starts_with(*unit))) {
        return false;
    }
    if (!device) {
        return true;
    }
    std::uint32_t vid = 0;
    std::uint32_t pid = 0;
    if (ParseVidPid(*device, vid, pid)) {
        return r.vendorId == vid && r.productId == pid;
    }
    return r.devicePath == *device;
}

void PrintRecord(const HistoryRecord& r, std::ostream& out) {
    out << TerminalSafe(r.time) << "  " << TerminalSafe(r.program) << "  "
        << TerminalSafe(r.operation) << "  " << TerminalSafe(r.devicePath) << "  "
        << IdText(r.vendorId) << ":" << IdText(r.productId) << " rev " << IdText(r.revision)
        << "  unit " << TerminalSafe(r.unit.value_or("unknown")) << "  serial "
        << TerminalSafe(r.serial.value_or("unknown")) << "  " << TerminalSafe(r.result);
    if (r.deviceState != r.result) {
        out << " (" << TerminalSafe(r.deviceState) << ")";
    }
    out << "\n    " << TerminalSafe(r.firmwarePath) << ", " << r.firmwareSize << " bytes, sha256 "
        << TerminalSafe(r.firmwareSha256) << '\n';
    if (!r.message.empty()) {
        out << "    " << TerminalSafe(r.message) << '\n';
    }
    if (!r.backup.empty()) {
        out << "    backup " << TerminalSafe(r.backup) << '\n';
    }
}

}  // namespace

int RunHistory(const HistoryOptions& options, std::ostream& out, std::ostream& err) {
    const std::string path = DefaultHistoryPath();
    if (path.empty()) {
        err << "sovra-flash: no update history: neither XDG_STATE_HOME nor a home folder is "
               "known.\n";
        return kExitRefused;
    }
    // Record by record: a production line's history of years is never held
    // in memory whole.
    bool first = true;
    const auto each = [&](HistoryRecord&& r) {
        if (!Wanted(r, options.device, options.unit)) {
            return;
        }
        if (!options.json) {
            PrintRecord(r, out);
            return;
        }
        std::string text =
            HistoryJson(r).dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
        for (std::size_t at = text.find('\n'); at != std::string::npos;
             at = text.find('\n', at + 1)) {
            text.insert(at + 1, "  ");
        }
        out << (first ? "[\n  " : ",\n  ") << text;
        first = false;
    };
    const auto skip = [&](const SkippedLine& s) {
        err << "sovra-flash: warning: line " << s.line << " of '" << TerminalSafe(path)
            << "' skipped: " << s.why << ".\n";
    };
    if (const Error e = ReadHistory(path, each, skip); e.Failed()) {
        err << "sovra-flash: " << TerminalSafe(e.What()) << ".\n";
        return kExitRefused;
    }
    if (options.json) {
        out << (first ? "[]\n" : "\n]\n");
    }
    out.flush();
    return kExitOk;
}

void AddHistory(CLI::App& app, Runner& run) {
    CLI::App* cmd =
        app.add_subcommand("history", "List the updates and restores both programs have made");
    auto options = std::make_shared<HistoryOptions>();
    cmd->add_option("--device", options->device, "Only this device: its path, or VID:PID in hex")
        ->type_name("DEV");
    cmd->add_option("--unit", options->unit, "Only the unit whose fingerprint begins so")
        ->type_name("PREFIX");
    cmd->add_flag("--json", options->json, "Print the records as a JSON array");
    cmd->footer(kFooter);
    cmd->callback([&run, options] {
        if (options->unit) {
            for (char& c : *options->unit) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        }
        run = [options] { return RunHistory(*options, std::cout, std::cerr); };
    });
}

}  // namespace sovra::cli
