#include "cli/device_select.h"

#include "cli/catalogue_option.h"
#include "device/udev_source.h"

namespace sovra::cli {
namespace {

bool ParseHexId(std::string_view text, std::uint32_t& out) {
    if (text.empty() || text.size() > 8) {
        return false;
    }
    std::uint32_t v = 0;
    for (char c : text) {
        int d = -1;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        }
        if (d < 0) {
            return false;
        }
        v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    out = v;
    return true;
}

}  // namespace

bool ParseVidPid(std::string_view spec, std::uint32_t& vid, std::uint32_t& pid) {
    const std::size_t colon = spec.find(':');
    return colon != std::string_view::npos && ParseHexId(spec.substr(0, colon), vid) &&
           ParseHexId(spec.substr(colon + 1), pid);
}

namespace {

constexpr const char* kListHint = "`sovra-flash list` shows the devices that can be named";

}  // namespace

DeviceAccess SystemDeviceAccess() {
    DeviceAccess access;
    access.openSource = [](std::string& error) -> std::unique_ptr<DeviceSource> {
        return UdevSource::Open(false, error);
    };
    access.openWatchingSource = [](std::string& error) -> std::unique_ptr<DeviceSource> {
        return UdevSource::Open(true, error);
    };
    access.openControl = [](const DeviceEntry& entry) { return OpenDeviceControl(entry); };
    return access;
}

std::optional<FirmwareCatalogue> LoadDeviceCatalogue(const std::optional<std::string>& path,
                                                     std::ostream& err) {
    return LoadCatalogueOption(
        path,
        {.malformedUse = "only the devices it names before the error are known",
         .missingDefault = "no device is known"},
        err);
}

bool ListDeviceRows(const FirmwareCatalogue& catalogue, const DeviceAccess& access,
                    std::vector<DeviceRow>& rows, std::string& error) {
    std::unique_ptr<DeviceSource> source = access.openSource(error);
    if (!source) {
        return false;
    }
    const std::vector<PresentDevice> present = source->PresentDevices();
    rows = BuildDeviceRows(catalogue, present);
    return true;
}

const DeviceRow* ResolveDevice(std::string_view spec, const std::vector<DeviceRow>& rows,
                               std::string& error) {
    for (const DeviceRow& row : rows) {
        if (row.entry.path == spec) {
            return &row;
        }
    }
    std::uint32_t vid = 0;
    std::uint32_t pid = 0;
    if (ParseVidPid(spec, vid, pid)) {
        const std::string ids = IdText(vid) + ":" + IdText(pid);
        std::vector<const DeviceRow*> candidates;
        for (const DeviceRow& row : rows) {
            if (row.entry.vendorId == vid && row.entry.productId == pid) {
                candidates.push_back(&row);
            }
        }
        if (candidates.size() == 1) {
            return candidates.front();
        }
        if (candidates.empty()) {
            error = "no listed device has the ids " + ids + "; " + kListHint + ".";
            return nullptr;
        }
        error = std::to_string(candidates.size()) + " listed devices have the ids " + ids + ":";
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            error += (i == 0 ? " " : ", ") + candidates[i]->entry.path;
        }
        error += "; name one of them by its device path.";
        return nullptr;
    }
    const std::string shown = TerminalSafe(spec);
    if (!spec.empty() && spec.front() == '/') {
        error = "no listed device at " + shown +
                " (only connected devices that the catalogue knows are listed); " + kListHint + ".";
    } else {
        error = "'" + shown + "' is neither a device path nor VID:PID in hexadecimal; " +
                kListHint + ".";
    }
    return nullptr;
}

std::string BindFailureMessage(const DeviceControl& control) {
    if (control.PermissionProblem()) {
        return control.message +
               " This is a permissions problem: your user may not open this USB device. "
               "Install the project's udev rule for SovRa beamformers (sudo sovra-flash "
               "udev-rules --output /etc/udev/rules.d/70-sovra-beamformer.rules, then unplug "
               "and replug the device), or run sovra-flash with sudo.";
    }
    if (control.result == BindResult::kNoControl) {
        return "the device cannot carry flash requests: " + control.message;
    }
    return "cannot reach the device: " + control.message;
}

}  // namespace sovra::cli
