#include "device/device_control.h"

#include <libusb.h>

namespace sovra {
namespace {

struct DeviceListDeleter {
    void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
struct ConfigDeleter {
    void operator()(libusb_config_descriptor* c) const { libusb_free_config_descriptor(c); }
};

DeviceControl Fail(Status status, std::string what) {
    DeviceControl out;
    out.error = Error(status, std::move(what));
    return out;
}

std::string LibusbReason(int rc) {
    return libusb_strerror(rc);
}

// One to three decimal digits from `s` at `pos`, as a number.
bool Decimal(std::string_view s, std::size_t& pos, unsigned& out) {
    std::size_t digits = 0;
    out = 0;
    while (pos < s.size() && digits < 4 && s[pos] >= '0' && s[pos] <= '9') {
        out = out * 10 + static_cast<unsigned>(s[pos] - '0');
        ++pos;
        ++digits;
    }
    return digits >= 1 && digits <= 3;
}

// The interface whose claim keeps other programs off the device while we
// use it: the first interface of the active configuration.
std::optional<int> FirstInterface(libusb_device* dev) {
    libusb_config_descriptor* raw = nullptr;
    if (libusb_get_active_config_descriptor(dev, &raw) != LIBUSB_SUCCESS || raw == nullptr) {
        return std::nullopt;
    }
    std::unique_ptr<libusb_config_descriptor, ConfigDeleter> config(raw);
    if (config->bNumInterfaces == 0 || config->interface == nullptr ||
        config->interface[0].num_altsetting < 1 || config->interface[0].altsetting == nullptr) {
        return std::nullopt;
    }
    return config->interface[0].altsetting[0].bInterfaceNumber;
}

}  // namespace

std::optional<UsbNodeAddress> ParseUsbDeviceNode(std::string_view path) {
    constexpr std::string_view kPrefix = "/dev/bus/usb/";
    if (path.substr(0, kPrefix.size()) != kPrefix) {
        return std::nullopt;
    }
    std::size_t pos = kPrefix.size();
    unsigned bus = 0;
    unsigned address = 0;
    if (!Decimal(path, pos, bus) || pos >= path.size() || path[pos] != '/') {
        return std::nullopt;
    }
    ++pos;
    if (!Decimal(path, pos, address) || pos != path.size()) {
        return std::nullopt;
    }
    if (bus < 1 || bus > 255 || address < 1 || address > 127) {
        return std::nullopt;
    }
    return UsbNodeAddress{static_cast<std::uint8_t>(bus), static_cast<std::uint8_t>(address)};
}

DeviceControl OpenDeviceControl(const DeviceEntry& entry, std::chrono::milliseconds timeout) {
    const std::string& path = entry.path;
    const auto node = ParseUsbDeviceNode(path);
    if (!node) {
        return Fail(E_DEVICE_GONE, "'" + path + "' is not a USB device node");
    }

    // A context of its own per channel: it sees the devices present now,
    // and channels of several devices never share libusb state.
    libusb_context* rawContext = nullptr;
    int rc = libusb_init(&rawContext);
    if (rc != LIBUSB_SUCCESS) {
        return Fail(E_DEVICE_IO, "cannot start libusb: " + LibusbReason(rc));
    }
    LibusbContextPtr context(rawContext);

    libusb_device** rawList = nullptr;
    const ssize_t count = libusb_get_device_list(context.get(), &rawList);
    if (count < 0) {
        return Fail(E_DEVICE_IO,
                    "cannot list USB devices: " + LibusbReason(static_cast<int>(count)));
    }
    std::unique_ptr<libusb_device*, DeviceListDeleter> list(rawList);
    libusb_device* device = nullptr;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* d = list.get()[i];
        if (libusb_get_bus_number(d) == node->bus &&
            libusb_get_device_address(d) == node->address) {
            device = d;
            break;
        }
    }
    if (device == nullptr) {
        return Fail(E_DEVICE_GONE, "no USB device at " + path + "; it was unplugged");
    }

    // Addresses are reused: after an unplug another device may sit at the
    // same node. Flash requests must never reach a device of another model.
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(device, &desc) != LIBUSB_SUCCESS ||
        desc.idVendor != entry.vendorId || desc.idProduct != entry.productId) {
        return Fail(E_DEVICE_GONE,
                    "the device at " + path + " is no longer the one listed; it was unplugged");
    }

    libusb_device_handle* rawHandle = nullptr;
    rc = libusb_open(device, &rawHandle);
    if (rc == LIBUSB_ERROR_ACCESS) {
        return Fail(E_DEVICE_ACCESS, "permission denied opening " + path);
    }
    if (rc == LIBUSB_ERROR_NO_DEVICE || rc == LIBUSB_ERROR_NOT_FOUND) {
        return Fail(E_DEVICE_GONE, "no USB device at " + path + "; it was unplugged");
    }
    if (rc != LIBUSB_SUCCESS || rawHandle == nullptr) {
        return Fail(E_DEVICE_IO, "cannot open " + path + ": " + LibusbReason(rc));
    }
    LibusbHandlePtr handle(rawHandle);

    const auto iface = FirstInterface(device);
    if (!iface) {
        return Fail(E_NOINTERFACE, path + " has no active configuration with an interface to use");
    }
    // A kernel driver on the interface keeps it; vendor requests to the
    // device itself pass without a claim, and detaching the driver would
    // take the device's normal function away from the user.
    int claimed = -1;
    if (libusb_kernel_driver_active(handle.get(), *iface) != 1) {
        rc = libusb_claim_interface(handle.get(), *iface);
        if (rc == LIBUSB_ERROR_BUSY) {
            return Fail(E_DEVICE_BUSY, "another program is using " + path);
        }
        if (rc == LIBUSB_ERROR_NO_DEVICE) {
            return Fail(E_DEVICE_GONE, "no USB device at " + path + "; it was unplugged");
        }
        if (rc != LIBUSB_SUCCESS) {
            return Fail(E_NOINTERFACE,
                        "cannot claim the interface of " + path + ": " + LibusbReason(rc));
        }
        claimed = *iface;
    }

    DeviceControl out;
    out.error = {};
    out.channel =
        std::make_unique<UsbChannel>(std::move(context), std::move(handle), claimed, timeout);
    return out;
}

}  // namespace sovra
