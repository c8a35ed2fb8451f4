#include "cli/cmd_list.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>
#include <memory>

#include "cli/catalogue_option.h"
#include "cli/commands.h"

namespace sovra::cli {
namespace {

constexpr const char* kFooter =
    R"(Each line: the row text as the desktop application shows it, the vendor and
product ids (hexadecimal), the revision (the device's bcdDevice, hexadecimal)
and the device path, which --device of the other subcommands takes, then
the USB serial number when the device has one (no flash is read). With
--quiet only the paths are printed, and nothing when no device is present.

Examples:
  sovra-flash list
  sovra-flash list --catalogue /opt/sovra/FirmwareUpdate.xml --json
      [{"text", "vendor_id", "product_id", "revision", "path", "serial"}, ...]
      with the ids and the revision as hexadecimal strings such as "0abc"
      and "serial" null when the device has none

Only devices whose ids the catalogue names (VID and PID of a Device element)
are listed; a device missing here is either unknown to the catalogue or not
seen by udev (see `lsusb`).
)";

}  // namespace

int RunList(const ListOptions& options, const DeviceAccess& access, std::ostream& out,
            std::ostream& err) {
    const auto catalogue = LoadDeviceCatalogue(options.catalogue, err);
    if (!catalogue) {
        return kExitRefused;
    }
    std::vector<DeviceRow> rows;
    if (const Error e = ListDeviceRows(*catalogue, access, rows); e.Failed()) {
        return Refuse(err, Error(e).Within("cannot list devices"));
    }

    if (options.quiet) {
        for (const DeviceRow& row : rows) {
            out << TerminalSafe(row.entry.path) << '\n';
        }
    } else if (options.json) {
        nlohmann::json list = nlohmann::json::array();
        for (const DeviceRow& row : rows) {
            list.push_back({{"text", row.text},
                            {"vendor_id", IdText(row.entry.vendorId)},
                            {"product_id", IdText(row.entry.productId)},
                            {"revision", IdText(row.entry.revision)},
                            {"path", row.entry.path},
                            {"serial", TextOrNull(row.entry.serial)}});
        }
        PrintJson(out, list);
    } else {
        std::vector<std::string> texts;
        std::size_t width = 0;
        for (const DeviceRow& row : rows) {
            texts.push_back(TerminalSafe(row.text));
            width = std::max(width, texts.back().size());
        }
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const DeviceEntry& e = rows[i].entry;
            out << texts[i] << std::string(width - texts[i].size() + 2, ' ') << IdText(e.vendorId)
                << ':' << IdText(e.productId) << "  rev " << IdText(e.revision) << "  "
                << TerminalSafe(e.path)
                << (e.serial.empty() ? "" : "  serial " + TerminalSafe(e.serial)) << '\n';
        }
        if (rows.empty()) {
            err << "No connected device is known to the catalogue.\n";
        }
    }
    return Flushed(out, err, "the device list");
}

void AddList(CLI::App& app, Runner& run) {
    CLI::App* cmd = app.add_subcommand(
        "list", "List the connected devices the catalogue knows, as the desktop application does");
    auto options = std::make_shared<ListOptions>();
    AddCatalogue(cmd, options->catalogue);
    cmd->add_flag("--json", options->json, "Print a JSON array instead of lines");
    cmd->add_flag("--quiet", options->quiet, "Print only the device paths, one a line");
    cmd->footer(std::string(kFooter) + kCatalogueLookupHelp);
    RunWhenChosen(cmd, run, [options] {
        return RunList(*options, SystemDeviceAccess(), std::cout, std::cerr);
    });
}

}  // namespace sovra::cli
