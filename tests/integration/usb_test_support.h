#pragma once
// Small owners for the libusb and libudev objects the integration tests use
// to look at the virtual devices from the program side.

#include <libudev.h>
#include <libusb.h>
#include <poll.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "flash/flash_command.h"

namespace sovra::test {

class UsbContext {
  public:
    UsbContext() {
        if (libusb_init(&ctx_) != 0) {
            throw std::runtime_error("libusb_init failed");
        }
    }
    ~UsbContext() { libusb_exit(ctx_); }
    UsbContext(const UsbContext&) = delete;
    UsbContext& operator=(const UsbContext&) = delete;
    libusb_context* get() const { return ctx_; }

  private:
    libusb_context* ctx_ = nullptr;
};

struct UsbClose {
    void operator()(libusb_device_handle* h) const { libusb_close(h); }
};
using UsbHandle = std::unique_ptr<libusb_device_handle, UsbClose>;

// Opens the device at bus/address, or returns null (with the libusb error
// in `error`) when it is not listed or cannot be opened.
inline UsbHandle OpenUsb(libusb_context* ctx, std::uint32_t bus, std::uint32_t address,
                         int* error = nullptr) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle* handle = nullptr;
    int result = LIBUSB_ERROR_NOT_FOUND;
    for (ssize_t i = 0; i < n; ++i) {
        if (libusb_get_bus_number(list[i]) == bus &&
            libusb_get_device_address(list[i]) == address) {
            result = libusb_open(list[i], &handle);
            break;
        }
    }
    if (n >= 0) {
        libusb_free_device_list(list, 1);
    }
    if (error != nullptr) {
        *error = result;
    }
    return UsbHandle(result == 0 ? handle : nullptr);
}

inline constexpr unsigned kTransferTimeoutMs = 5000;

// The three flash requests as libusb control transfers; each returns what
// libusb_control_transfer returns.
inline int UsbPrepare(libusb_device_handle* h) {
    std::uint8_t value = PrepareValue;
    return libusb_control_transfer(h, kVendorOut, CommandPrepare, 0, PrepareAddressLow, &value, 1,
                                   kTransferTimeoutMs);
}
inline int UsbRead(libusb_device_handle* h, std::uint32_t address, std::span<std::uint8_t> out) {
    return libusb_control_transfer(h, kVendorIn, CommandReadFlash, ChunkAddressHigh(address),
                                   ChunkAddressLow(address), out.data(),
                                   static_cast<std::uint16_t>(out.size()), kTransferTimeoutMs);
}
inline int UsbWrite(libusb_device_handle* h, std::uint32_t address, std::span<std::uint8_t> in) {
    return libusb_control_transfer(h, kVendorOut, CommandWriteFlash, ChunkAddressHigh(address),
                                   ChunkAddressLow(address), in.data(),
                                   static_cast<std::uint16_t>(in.size()), kTransferTimeoutMs);
}

struct UdevEvent {
    std::string action;
    std::string sysPath;
};

// A libudev monitor of USB devices ("udev" netlink group, as the program
// side listens).
class UdevMonitor {
  public:
    UdevMonitor() : udev_(udev_new()) {
        if (udev_ == nullptr) {
            throw std::runtime_error("udev_new failed");
        }
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        if (monitor_ == nullptr ||
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device") < 0 ||
            udev_monitor_enable_receiving(monitor_) < 0) {
            throw std::runtime_error("cannot monitor udev");
        }
    }
    ~UdevMonitor() {
        udev_monitor_unref(monitor_);
        udev_unref(udev_);
    }
    UdevMonitor(const UdevMonitor&) = delete;
    UdevMonitor& operator=(const UdevMonitor&) = delete;

    // The next event, or nothing when none comes within `timeoutMs` (a
    // bound for a failing test, not a measurement).
    std::optional<UdevEvent> Next(int timeoutMs = 10000) {
        pollfd pfd{udev_monitor_get_fd(monitor_), POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) {
            return std::nullopt;
        }
        udev_device* d = udev_monitor_receive_device(monitor_);
        if (d == nullptr) {
            return std::nullopt;
        }
        const char* action = udev_device_get_action(d);
        UdevEvent e{action != nullptr ? action : "", udev_device_get_syspath(d)};
        udev_device_unref(d);
        return e;
    }

  private:
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
};

}  // namespace sovra::test
