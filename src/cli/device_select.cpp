#include "cli/device_select.h"

#include <charconv>

#include "cli/catalogue_option.h"
#include "device/udev_source.h"

namespace sovra::cli {
namespace {

constexpr const char* kListHint = "`sovra-flash list` shows the devices that can be named";

// 1 to 8 hexadecimal digits, nothing else (no sign, no "0x").
bool ParseHexId(std::string_view text, std::uint32_t& out) {
    const char* end = text.data() + text.size();
    std::uint32_t v = 0;
    if (text.empty() || text.size() > 8 ||
        std::from_chars(text.data(), end, v, 16) != std::from_chars_result{end, std::errc{}}) {
        return false;
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

DeviceAccess SystemDeviceAccess() {
    DeviceAccess access;
    access.openSource = [](std::unique_ptr<DeviceSource>& source) {
        return UdevSource::Open(false, source);
    };
    access.openWatchingSource = [](std::unique_ptr<DeviceSource>& source) {
        return UdevSource::Open(true, source);
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

Error ListDeviceRows(const FirmwareCatalogue& catalogue, const DeviceAccess& access,
                     std::vector<DeviceRow>& rows) {
    std::unique_ptr<DeviceSource> source;
    if (Error e = access.openSource(source); e.Failed()) {
        return e;
    }
    rows = BuildDeviceRows(catalogue, source->PresentDevices());
    return {};
}

Error ResolveDevice(std::string_view spec, const std::vector<DeviceRow>& rows,
                    const DeviceRow*& row) {
    row = nullptr;
    for (const DeviceRow& r : rows) {
        if (r.entry.path == spec) {
            row = &r;
            return {};
        }
    }
    const auto refused = [](std::string what) { return Error(E_FAIL, std::move(what)); };
    std::uint32_t vid = 0;
    std::uint32_t pid = 0;
    if (ParseVidPid(spec, vid, pid)) {
        const std::string ids = IdText(vid) + ":" + IdText(pid);
        std::vector<const DeviceRow*> candidates;
        for (const DeviceRow& r : rows) {
            if (r.entry.vendorId == vid && r.entry.productId == pid) {
                candidates.push_back(&r);
            }
        }
        if (candidates.size() == 1) {
            row = candidates.front();
            return {};
        }
        if (candidates.empty()) {
            return refused("no listed device has the ids " + ids + "; " + kListHint);
        }
        std::string what =
            std::to_string(candidates.size()) + " listed devices have the ids " + ids + ":";
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            what += (i == 0 ? " " : ", ") + candidates[i]->entry.path;
        }
        return refused(what + "; name one of them by its device path");
    }
    const std::string shown = TerminalSafe(spec);
    if (!spec.empty() && spec.front() == '/') {
        return refused("no listed device at " + shown +
                       " (only connected devices that the catalogue knows are listed); " +
                       kListHint);
    }
    return refused("'" + shown + "' is neither a device path nor VID:PID in hexadecimal; " +
                   kListHint);
}

Error BindFailure(const DeviceControl& control) {
    Error e = control.error;
    if (e.Code() == E_DEVICE_ACCESS) {
        return Error(e.Code(),
                     e.What() +
                         ". This is a permissions problem: your user may not open this USB "
                         "device. Install the project's udev rule for SovRa beamformers (sudo "
                         "sovra-flash udev-rules --output "
                         "/etc/udev/rules.d/70-sovra-beamformer.rules, then unplug and replug "
                         "the device), or run sovra-flash with sudo");
    }
    return std::move(e).Within(control.NoControl() ? "the device cannot carry flash requests"
                                                   : "cannot reach the device");
}

}  // namespace sovra::cli
