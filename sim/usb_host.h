#pragma once
// Puts virtual beamformers behind the real libudev and libusb with umockdev:
// each device gets a sysfs entry, a /dev/bus/usb node and an ioctl handler
// that answers libusb's usbdevfs requests from a BeamformerModel.
//
// The process that creates a UsbHost must run under the umockdev preload
// (LD_PRELOAD=libumockdev-preload.so.0); RunningUnderPreload() tells, and
// tests re-exec themselves when it is false. Programs started from this
// process inherit UMOCKDEV_DIR and see the same devices.

#include <cstdint>
#include <memory>
#include <string>

#include "sim/beamformer_model.h"

namespace sovra::sim {

struct UsbIds {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint16_t revision = 0;  // bcdDevice
};

bool RunningUnderPreload();

class UsbHost {
public:
    UsbHost();  // creates the testbed; throws std::runtime_error on failure
    ~UsbHost();
    UsbHost(const UsbHost&) = delete;
    UsbHost& operator=(const UsbHost&) = delete;

    // Plugs a device in ("add" uevent after all attributes are written).
    // Returns its index, counting from 0.
    std::size_t Plug(UsbIds ids, std::shared_ptr<BeamformerModel> model);
    // Unplugs it: open handles get "no device", a "remove" uevent goes out.
    void Unplug(std::size_t index);
    // Plugs a previously unplugged device back in, same node and ids.
    void Replug(std::size_t index);

    std::string DeviceNode(std::size_t index) const;  // /dev/bus/usb/BBB/DDD
    std::string SysPath(std::size_t index) const;     // /sys/devices/...
    std::shared_ptr<BeamformerModel> Model(std::size_t index) const;
    // The testbed's root folder ($UMOCKDEV_DIR); its dev/log is where the
    // programs' system-log datagrams land.
    std::string Root() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sovra::sim
