#include "cli/update_report.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <string_view>

namespace sovra::cli {
namespace {

std::string HexStatus(Status s) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(s));
    return buf;
}

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

const char* StepName(UpdateStep s) {
    switch (s) {
        case UpdateStep::kNone:
            return "none";
        case UpdateStep::kPrecondition:
            return "start";
        case UpdateStep::kReadBack:
            return "read-back";
        case UpdateStep::kKeepReadBack:
            return "backup";
        case UpdateStep::kMerge:
            return "merge";
        case UpdateStep::kWrite:
            return "write";
        case UpdateStep::kVerify:
            return "verify";
    }
    return "unknown";
}

// What to do about a device the update has left partly written, or null.
std::optional<std::string> RepairCommand(const UpdateCliOptions& o, const DeviceOutcome& job) {
    const UpdateResult& r = job.result;
    if (Succeeded(r.status) || r.writesSent == 0) {
        return std::nullopt;
    }
    if (o.mode == UpdateMode::kRestore) {
        return RestoreCommand(job.path, o.image);
    }
    if (!job.backupPath.empty()) {
        return RestoreCommand(job.path, job.backupPath);
    }
    return std::nullopt;
}

}  // namespace

std::string DeviceState(const UpdateResult& r) {
    if (Succeeded(r.status)) {
        return "updated";
    }
    if (r.writesSent == 0) {
        return "untouched";
    }
    if (r.endedIn == UpdateStep::kVerify) {
        return r.status == E_VERIFY_MISMATCH ? "written, differs" : "written, unchecked";
    }
    return "partly written";
}

std::string RestoreCommand(const std::string& devicePath, const std::string& image) {
    return "sovra-flash restore --device " + ShellQuote(devicePath) + " --image " +
           ShellQuote(image);
}

void PrintOutcome(const UpdateCliOptions& o, const DeviceOutcome& job, std::ostream& out) {
    const UpdateResult& r = job.result;
    const bool restore = o.mode == UpdateMode::kRestore;
    if (Succeeded(r.status)) {
        out << job.label << ": " << (restore ? "restored" : "updated")
            << (o.noVerify ? " (not read back: --no-verify)"
                           : "; the flash read back matches the image written")
            << ".";
        if (!restore) {
            out << " Reconnect the USB cable for the new firmware to take effect.";
        }
        out << '\n';
        return;
    }
    out << job.label << ": " << (restore ? "restore" : "update")
        << " failed: " << StatusText(r.status) << " (" << HexStatus(r.status) << ")\n";
    if (!job.backupError.empty()) {
        out << "  " << job.backupError << '\n';
    }
    const std::string state = DeviceState(r);
    if (state == "untouched") {
        out << "  The device is untouched: nothing was written to it.\n";
    } else if (state == "partly written") {
        out << "  The device is partly written (the update stopped at chunk " << r.writesSent
            << " of " << (r.imageLength + ChunkSize - 1) / ChunkSize
            << "); it may not work until its flash is restored.\n";
    } else if (state == "written, differs") {
        out << "  The whole image was written, but the device's flash differs from it.\n";
    } else {
        out << "  The whole image was written, but could not be read back to check it.\n";
    }
    if (const auto command = RepairCommand(o, job)) {
        out << "  " << (restore ? "Try again with:" : "Restore its old flash with:") << "\n    "
            << *command << '\n';
    } else if (state != "untouched") {
        out << "  No backup was kept (--no-backup): write a dump of this device back with "
               "`sovra-flash restore`, or run the update again.\n";
    }
}

nlohmann::json OutcomeJson(const UpdateCliOptions& o, const DeviceOutcome& job) {
    const UpdateResult& r = job.result;
    const auto command = RepairCommand(o, job);
    return {{"device", job.path},
            {"name", job.name},
            {"result", Succeeded(r.status) ? "updated" : "failed"},
            {"status", HexStatus(r.status)},
            {"message", StatusText(r.status)},
            {"stopped_in", StepName(r.endedIn)},
            {"device_state", DeviceState(r)},
            {"verified", Succeeded(r.status) && !o.noVerify},
            {"backup", job.backupPath.empty() ? nlohmann::json() : nlohmann::json(job.backupPath)},
            {"restore_command", command ? nlohmann::json(*command) : nlohmann::json()}};
}

}  // namespace sovra::cli
