#pragma once
// Binding a listed device to a channel that carries its flash requests.
//
// The device list knows a device by its node, /dev/bus/usb/BBB/DDD. The
// binding finds the USB device with that bus number and address, opens it,
// checks that it is still the device the row was made for, and claims its
// first interface so that no second program talks to it during an update.
//
// Two ways to fail, which callers tell apart by the code:
//  - not bound: there is no such device any more (E_DEVICE_GONE), it cannot
//    be opened (E_DEVICE_IO), or not by this user (E_DEVICE_ACCESS);
//  - no control: the device is there and open, but cannot be given flash
//    requests: it has no configuration with an interface or its interface
//    cannot be claimed (E_NOINTERFACE), or another program holds it
//    (E_DEVICE_BUSY).

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/error.h"
#include "device/device_rules.h"
#include "device/usb_channel.h"
#include "flash/flash_command.h"

namespace sovra {

struct DeviceControl {
    std::unique_ptr<DeviceChannel> channel;  // set exactly when bound
    // Why there is no channel, naming the device; no failure when bound.
    Error error{E_DEVICE_GONE};

    // Open, but unable to carry flash requests.
    bool NoControl() const {
        return error.Code() == E_NOINTERFACE || error.Code() == E_DEVICE_BUSY;
    }
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
