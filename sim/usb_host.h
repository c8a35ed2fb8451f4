#pragma once
// Puts virtual beamformers behind the real libudev and libusb with umockdev:
// each device gets a sysfs entry, a /dev/bus/usb node and an ioctl handler
// that answers libusb's usbdevfs requests from a BeamformerModel.
//
// The process that creates a UsbHost must run under the umockdev preload
// (LD_PRELOAD=libumockdev-preload.so.0); EnsurePreload() re-executes a
// program under it. Programs started from this process inherit UMOCKDEV_DIR
// and see the same devices.
//
// When a model answers that its device has gone (an unplug-at fault), the
// host takes the device off the bus by itself, as a vanishing device would:
// a "remove" uevent follows shortly after the failed request.

#include <cstdint>
#include <memory>
#include <string>

#include "sim/beamformer_model.h"
#include "sim/preload.h"
#include "sim/usb_descriptors.h"

namespace sovra::sim {

class UsbHost {
  public:
    UsbHost();  // creates the testbed; throws std::runtime_error on failure
    ~UsbHost();
    UsbHost(const UsbHost&) = delete;
    UsbHost& operator=(const UsbHost&) = delete;

    // Plugs a device in ("add" uevent after all attributes are written).
    // Returns its index, counting from 0. Throws std::runtime_error when the
    // testbed refuses it or the bus is full.
    std::size_t Plug(UsbIds ids, std::shared_ptr<BeamformerModel> model);
    // Gives a device its place on the bus (index, address, node name);
    // neither libudev nor /dev shows it until Replug plugs it in.
    std::size_t AddUnplugged(UsbIds ids, std::shared_ptr<BeamformerModel> model);
    // Unplugs it: open handles get "no device", a "remove" uevent goes out.
    // Unplugging a device that is not plugged in does nothing.
    void Unplug(std::size_t index);
    // Plugs an unplugged device (back) in, same port and ids; after an
    // unplug with a new address and node, as the kernel gives one at every
    // plug-in. The model powers up again (BeamformerModel::Replug). Does
    // nothing for a device that is plugged in.
    void Replug(std::size_t index);

    // Waits until no unplug the host started by itself (a model that
    // answered "gone") is still pending, so that its "remove" uevent has
    // gone out.
    void Settle();

    // Requests, over all devices, whose answer is still on its way: each
    // waits out its own device's latency, alongside the others.
    std::size_t RequestsInFlight() const;

    std::size_t DeviceCount() const;
    bool Plugged(std::size_t index) const;
    UsbIds Ids(std::size_t index) const;
    std::uint32_t BusNumber(std::size_t index) const;
    std::uint32_t Address(std::size_t index) const;   // devnum, at its last plug-in
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
