#pragma once
// Binding a listed device to a channel that carries its flash requests.
//
// The device list knows a device by its node, /dev/bus/usb/BBB/DDD. The
// binding finds the USB device with that bus number and address, opens it,
// checks that it is still the device the row was made for, and claims its
// first interface so that no second program talks to it during an update.
//
// Two ways to fail, which callers tell apart:
//  - not bound: there is no such device any more, or it cannot be opened
//    (status E_DEVICE_ACCESS when that is a matter of permissions);
//  - no control: the device is there and open, but cannot be given flash
//    requests: it has no configuration with an interface, its interface is
//    held by another program (E_DEVICE_BUSY), or it cannot be claimed.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "device/device_rules.h"
#include "device/usb_channel.h"
#include "flash/flash_command.h"

namespace sovra {

enum class BindResult {
    kBound,
    kNotBound,
    kNoControl,
};

struct DeviceControl {
    std::unique_ptr<DeviceChannel> channel;  // set exactly when bound
    BindResult result = BindResult::kNotBound;
    Status status = E_DEVICE_GONE;
    // A sentence naming the device and what went wrong; empty when bound.
    std::string message;

    bool PermissionProblem() const { return status == E_DEVICE_ACCESS; }
};

struct UsbNodeAddress {
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
};

// "/dev/bus/usb/BBB/DDD" with BBB in 1..255 and DDD in 1..127, each one to
// three decimal digits; anything else is not a USB device node.
std::optional<UsbNodeAddress> ParseUsbDeviceNode(std::string_view path);

// Called once per update, on the thread that starts it; the channel may then
// be used from any one thread. Channels of different devices are independent
// and may run in parallel.
DeviceControl OpenDeviceControl(const DeviceEntry& entry,
                                std::chrono::milliseconds timeout = kUsbRequestTimeout);

}  // namespace sovra
