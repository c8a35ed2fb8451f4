#pragma once
// Discovery on Linux through libudev: the present USB devices (subsystem
// "usb", device type "usb_device") with the ids read from their sysfs
// attributes, and a udev monitor whose descriptor wakes the caller when one
// is added or removed. An event's ids come from its own properties, since a
// removed device's sysfs attributes are gone by the time it is read.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/error.h"
#include "device/device_source.h"

struct udev;
struct udev_monitor;

namespace sovra {

// The ids from the idVendor, idProduct and bcdDevice attribute texts. Each
// must be exactly four hexadecimal digits once one trailing newline is
// dropped; anything else gives no ids.
std::optional<UsbIds> UsbIdsFromSysfs(std::string_view idVendor, std::string_view idProduct,
                                      std::string_view bcdDevice);

// The ids from the kernel's PRODUCT property of a USB device event,
// "vvvv/pppp/rrrr" in hexadecimal without leading zeros (each 1 to 4
// digits); anything else gives no ids.
std::optional<UsbIds> UsbIdsFromProduct(std::string_view product);

struct UdevDeleter {
    void operator()(udev* u) const;
};
struct UdevMonitorDeleter {
    void operator()(udev_monitor* m) const;
};
using UdevPtr = std::unique_ptr<udev, UdevDeleter>;
using UdevMonitorPtr = std::unique_ptr<udev_monitor, UdevMonitorDeleter>;

class UdevSource final : public DeviceSource {
  public:
    // With `watch`, also listens for additions and removals. A failure when
    // libudev itself cannot start; a monitor that cannot be set up only
    // leaves EventFd() at -1.
    static Error Open(bool watch, std::unique_ptr<DeviceSource>& source);
    UdevSource(UdevPtr udev, UdevMonitorPtr monitor);

    std::vector<PresentDevice> PresentDevices() override;
    int EventFd() const override;
    std::vector<DeviceChange> DrainEvents() override;

  private:
    UdevPtr udev_;
    UdevMonitorPtr monitor_;
};

}  // namespace sovra
