#include "device/udev_source.h"

#include <fcntl.h>
#include <libudev.h>

#include <cerrno>
#include <cstring>

#include "app/hex.h"

namespace sovra {
namespace {

// sysfs attributes and device nodes are short; a longer text is not one of
// them and is not looked at further.
constexpr std::size_t kAttributeMax = 64;
constexpr std::size_t kDevnodeMax = 4096;
// A serial number string descriptor holds at most 126 UTF-16 characters,
// 378 bytes of UTF-8; a longer text is not one.
constexpr std::size_t kSerialMax = 378;

// Events taken per DrainEvents call; any left keep the descriptor readable.
constexpr int kMaxEventsPerDrain = 1024;

struct UdevDeviceDeleter {
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
struct UdevEnumerateDeleter {
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};
using UdevDevicePtr = std::unique_ptr<udev_device, UdevDeviceDeleter>;
using UdevEnumeratePtr = std::unique_ptr<udev_enumerate, UdevEnumerateDeleter>;

// A NUL-terminated text from libudev, or nothing when it is absent or
// longer than `max`.
std::optional<std::string_view> Bounded(const char* text, std::size_t max) {
    if (text == nullptr) {
        return std::nullopt;
    }
    const std::size_t n = ::strnlen(text, max + 1);
    if (n > max) {
        return std::nullopt;
    }
    return std::string_view(text, n);
}

// 1 to 4 hexadecimal digits and nothing else.
std::optional<std::uint16_t> HexId(std::string_view v) {
    if (v.empty() || v.size() > 4) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : v) {
        const int d = HexDigitValue(c);
        if (d < 0) {
            return std::nullopt;
        }
        value = (value << 4) | static_cast<unsigned>(d);
    }
    return static_cast<std::uint16_t>(value);
}

// sysfs writes an id as exactly four digits and a newline.
std::optional<std::uint16_t> SysfsId(std::string_view v) {
    if (!v.empty() && v.back() == '\n') {
        v.remove_suffix(1);
    }
    return v.size() == 4 ? HexId(v) : std::nullopt;
}

bool IsUsbDevice(udev_device* dev) {
    const auto subsystem = Bounded(udev_device_get_subsystem(dev), kAttributeMax);
    const auto devtype = Bounded(udev_device_get_devtype(dev), kAttributeMax);
    return subsystem && devtype && *subsystem == "usb" && *devtype == "usb_device";
}

// The USB serial number string, empty when the device has none or the text
// is longer than any descriptor holds.
std::string Serial(udev_device* dev) {
    auto serial = Bounded(udev_device_get_sysattr_value(dev, "serial"), kSerialMax + 1);
    if (serial && !serial->empty() && serial->back() == '\n') {
        serial->remove_suffix(1);
    }
    return serial && serial->size() <= kSerialMax ? std::string(*serial) : std::string();
}

std::optional<PresentDevice> Describe(udev_device* dev) {
    if (!IsUsbDevice(dev)) {
        return std::nullopt;
    }
    const auto node = Bounded(udev_device_get_devnode(dev), kDevnodeMax);
    const auto vid = Bounded(udev_device_get_sysattr_value(dev, "idVendor"), kAttributeMax);
    const auto pid = Bounded(udev_device_get_sysattr_value(dev, "idProduct"), kAttributeMax);
    const auto rev = Bounded(udev_device_get_sysattr_value(dev, "bcdDevice"), kAttributeMax);
    if (!node || node->empty() || !vid || !pid || !rev) {
        return std::nullopt;
    }
    const auto ids = UsbIdsFromSysfs(*vid, *pid, *rev);
    if (!ids) {
        return std::nullopt;
    }
    return PresentDevice{std::string(*node), *ids, Serial(dev)};
}

std::optional<std::string_view> Property(udev_device* dev, const char* key) {
    return Bounded(udev_device_get_property_value(dev, key), kAttributeMax);
}

// The ids an add or remove event carries: the kernel's PRODUCT, then udev's
// own ID_* properties, and for an arrival the attributes as a last resort.
std::optional<UsbIds> EventIds(udev_device* dev) {
    if (const auto product = Property(dev, "PRODUCT")) {
        if (const auto ids = UsbIdsFromProduct(*product)) {
            return ids;
        }
    }
    const auto vid = Property(dev, "ID_VENDOR_ID");
    const auto pid = Property(dev, "ID_MODEL_ID");
    const auto rev = Property(dev, "ID_REVISION");
    if (vid && pid && rev) {
        if (const auto ids = UsbIdsFromSysfs(*vid, *pid, *rev)) {
            return ids;
        }
    }
    if (const auto present = Describe(dev)) {
        return present->ids;
    }
    return std::nullopt;
}

}  // namespace

void UdevDeleter::operator()(udev* u) const {
    udev_unref(u);
}

void UdevMonitorDeleter::operator()(udev_monitor* m) const {
    udev_monitor_unref(m);
}

std::optional<UsbIds> UsbIdsFromSysfs(std::string_view idVendor, std::string_view idProduct,
                                      std::string_view bcdDevice) {
    const auto vendor = SysfsId(idVendor);
    const auto product = SysfsId(idProduct);
    const auto revision = SysfsId(bcdDevice);
    if (!vendor || !product || !revision) {
        return std::nullopt;
    }
    return UsbIds{*vendor, *product, *revision};
}

std::optional<UsbIds> UsbIdsFromProduct(std::string_view product) {
    std::uint16_t fields[3] = {};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t slash = product.find('/');
        const bool last = i == 2;
        if (last != (slash == std::string_view::npos)) {
            return std::nullopt;
        }
        const auto field = HexId(product.substr(0, slash));
        if (!field) {
            return std::nullopt;
        }
        fields[i] = *field;
        product.remove_prefix(last ? product.size() : slash + 1);
    }
    return UsbIds{fields[0], fields[1], fields[2]};
}

UdevSource::UdevSource(UdevPtr udev, UdevMonitorPtr monitor)
    : udev_(std::move(udev)), monitor_(std::move(monitor)) {}

Error UdevSource::Open(bool watch, std::unique_ptr<DeviceSource>& source) {
    UdevPtr u(udev_new());
    if (!u) {
        return Error(E_FAIL, std::string("cannot start libudev: ") + std::strerror(errno));
    }
    UdevMonitorPtr monitor;
    if (watch) {
        // Without a monitor the list is still built, just never refreshed.
        monitor.reset(udev_monitor_new_from_netlink(u.get(), "udev"));
        if (monitor && (udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "usb",
                                                                        "usb_device") < 0 ||
                        udev_monitor_enable_receiving(monitor.get()) < 0)) {
            monitor.reset();
        }
        if (monitor) {
            const int fd = udev_monitor_get_fd(monitor.get());
            const int flags = fd < 0 ? -1 : ::fcntl(fd, F_GETFL);
            if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
                monitor.reset();
            }
        }
    }
    source = std::make_unique<UdevSource>(std::move(u), std::move(monitor));
    return {};
}

std::vector<PresentDevice> UdevSource::PresentDevices() {
    std::vector<PresentDevice> out;
    UdevEnumeratePtr e(udev_enumerate_new(udev_.get()));
    if (!e || udev_enumerate_add_match_subsystem(e.get(), "usb") < 0 ||
        udev_enumerate_scan_devices(e.get()) < 0) {
        return out;
    }
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get())) {
        const char* syspath = udev_list_entry_get_name(entry);
        if (syspath == nullptr) {
            continue;
        }
        UdevDevicePtr dev(udev_device_new_from_syspath(udev_.get(), syspath));
        if (!dev) {
            continue;  // gone between the scan and now
        }
        if (auto present = Describe(dev.get())) {
            out.push_back(std::move(*present));
        }
    }
    return out;
}

int UdevSource::EventFd() const {
    return monitor_ ? udev_monitor_get_fd(monitor_.get()) : -1;
}

std::vector<DeviceChange> UdevSource::DrainEvents() {
    std::vector<DeviceChange> changes;
    if (!monitor_) {
        return changes;
    }
    for (int i = 0; i < kMaxEventsPerDrain; ++i) {
        UdevDevicePtr dev(udev_monitor_receive_device(monitor_.get()));
        if (!dev) {
            break;
        }
        const auto action = Bounded(udev_device_get_action(dev.get()), kAttributeMax);
        if (!action || (*action != "add" && *action != "remove") || !IsUsbDevice(dev.get())) {
            continue;
        }
        DeviceChange change;
        if (const auto node = Bounded(udev_device_get_devnode(dev.get()), kDevnodeMax)) {
            change.path = *node;
        }
        change.ids = EventIds(dev.get());
        change.arrived = *action == "add";
        if (change.arrived) {
            change.serial = Serial(dev.get());
        }
        changes.push_back(std::move(change));
    }
    return changes;
}

}  // namespace sovra
