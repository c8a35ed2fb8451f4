#include "cli/update_report.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>

#include "app/safe_text.h"
#include "cli/device_select.h"
#include "flash/flash_command.h"

namespace sovra::cli {
namespace {

std::string ShellQuote(const std::string& s) {
    const bool plain = !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
               std::string_view("/._-:+@%=,").find(c) != std::string_view::npos;
    });
    if (plain) {
        return s;
    }
    std::string q = "'";
    for (char c : s) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

// What puts a device back the way it was, once something was written to it
// and the job failed; null when nothing was written or nothing can.
std::optional<std::string> RepairCommand(const UpdateCliOptions& o, const DeviceOutcome& job) {
    const UpdateOutcome& r = job.result;
    if (r.Succeeded() || r.writesSent == 0) {
        return std::nullopt;
    }
    if (o.mode == UpdateMode::kRestore) {
        // The saved image was being written: writing it again finishes the job.
        return RestoreCommand(job.path, o.image) + (o.force ? " --force" : "");
    }
    if (!r.backup.restoreFrom.empty()) {
        return RestoreCommand(job.path, r.backup.restoreFrom);
    }
    return std::nullopt;
}

// " (unit 1f2e3d4c5b6a7988, serial SN-1)", safe to print.
std::string UnitText(const UpdateOutcome& r) {
    return " (unit " + (r.unit.empty() ? std::string("unknown") : r.unit) + ", serial " +
           (r.serial.empty() ? std::string("unknown") : TerminalSafe(r.serial)) + ")";
}

nlohmann::json TextOrNull(const std::string& s) {
    return s.empty() ? nlohmann::json() : nlohmann::json(s);
}

}  // namespace

std::string RestoreCommand(const std::string& devicePath, const std::string& image) {
    return "sovra-flash restore --device " + ShellQuote(devicePath) + " --image " +
           ShellQuote(image);
}

void PrintOutcome(const UpdateCliOptions& o, const DeviceOutcome& job, std::ostream& out) {
    const UpdateOutcome& r = job.result;
    const bool restore = o.mode == UpdateMode::kRestore;
    const std::string device = job.label + UnitText(r);
    if (r.upToDate) {
        out << device << ": up to date: it already holds this firmware; nothing was written "
            << "(--reinstall writes it anyway).\n";
        return;
    }
    if (r.Succeeded()) {
        out << device << ": " << (restore ? "restored" : "updated")
            << (r.device == DeviceHolds::kNewImage
                    ? "; the flash read back matches the image written"
                    : " (not read back: --no-verify)")
            << ".";
        if (!restore) {
            out << " Reconnect the USB cable for the new firmware to take effect.";
        }
        out << '\n';
        if (!r.readBackWarning.empty()) {
            out << "  Before it was written, " << TerminalSafe(r.readBackWarning) << ".\n";
        }
        return;
    }
    out << AsSentence(device + ": " + (restore ? "restore" : "update") +
                      " failed: " + TerminalSafe(r.error.What()))
        << " (" << StatusHex(r.error.Code()) << ")\n";
    switch (r.device) {
        case DeviceHolds::kUntouched:
            out << "  The device is untouched: nothing was written to it.\n";
            break;
        case DeviceHolds::kPartlyWritten:
            out << "  The device is partly written (the update stopped at chunk " << r.writesSent
                << " of " << (r.imageLength + ChunkSize - 1) / ChunkSize
                << "); it may not work until its flash is restored.\n";
            break;
        case DeviceHolds::kWrittenDiffers:
            out << "  The whole image was written, but the device's flash differs from it.\n";
            break;
        default:
            out << "  The whole image was written, but could not be read back to check it.\n";
            break;
    }
    if (r.device == DeviceHolds::kUntouched) {
        return;
    }
    if (const auto command = RepairCommand(o, job)) {
        if (!restore && r.backup.restoreFrom != r.backup.path) {
            out << "  The backup kept now, " << TerminalSafe(r.backup.path)
                << ", is not a valid image (the flash was already damaged); the newest earlier "
                   "valid backup of this device is "
                << TerminalSafe(r.backup.restoreFrom) << ".\n";
        }
        out << "  " << (restore ? "Try again with:" : "Restore its old flash with:") << "\n    "
            << TerminalSafe(*command) << '\n';
    } else if (r.backup.unitUnknown) {
        out << "  The backup kept now, " << r.backup.path
            << ", is not a valid image, and this unit cannot be told: its flash holds no "
               "information block and it has no USB serial number. No earlier backup is known to "
               "be its own; this model's backups, newest first:\n";
        for (const ModelBackup& b : r.backup.modelBackups) {
            out << "    " << TerminalSafe(b.path) << "  (unit "
                << (b.unit.empty() ? "unknown" : b.unit) << ", saved "
                << (b.time.empty() ? "at an unknown time" : b.time) << ")\n";
        }
        out << "  Only this unit's own backup gives it back its serial number and calibration; "
               "`sovra-flash restore` needs --force to write any of them.\n";
    } else if (!r.backup.path.empty()) {
        out << "  The backup kept now, " << TerminalSafe(r.backup.path)
            << ", is not a valid image and no earlier valid backup of this device was found: "
               "write a good dump of it back with `sovra-flash restore`, or run the update "
               "again.\n";
    } else {
        out << "  No backup was kept (--no-backup): write a dump of this device back with "
               "`sovra-flash restore`, or run the update again.\n";
    }
}

nlohmann::json OutcomeJson(const UpdateCliOptions& o, const DeviceOutcome& job) {
    const UpdateOutcome& r = job.result;
    const auto command = RepairCommand(o, job);
    const auto text = TextOrNull;
    nlohmann::json modelBackups;
    if (r.backup.unitUnknown) {
        modelBackups = nlohmann::json::array();
        for (const ModelBackup& b : r.backup.modelBackups) {
            modelBackups.push_back(
                {{"path", b.path}, {"unit", text(b.unit)}, {"time", text(b.time)}});
        }
    }
    return {
        {"device", job.path},
        {"name", job.name},
        {"unit", text(r.unit)},
        {"serial", text(r.serial)},
        {"result", ResultName(r)},
        {"status", StatusHex(r.error.Code())},
        {"message", r.Succeeded() ? nlohmann::json() : nlohmann::json(r.error.What())},
        {"stopped_in", UpdateStepName(r.endedIn)},
        {"device_state", DeviceHoldsText(r.device)},
        {"verified", r.device == DeviceHolds::kNewImage},
        {"read_back_warning", text(r.readBackWarning)},
        {"backup", text(r.backup.path)},
        {"backup_valid", r.backup.path.empty() ? nlohmann::json() : nlohmann::json(r.backup.valid)},
        {"restore_command", command ? nlohmann::json(*command) : nlohmann::json()},
        {"model_backups", modelBackups}};
}

}  // namespace sovra::cli
