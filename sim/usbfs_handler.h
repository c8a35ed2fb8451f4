#pragma once
// The usbfs side of one virtual device: answers the ioctls a program makes
// on the device node (what libusb asks, and raw usbfs control transfers)
// from a BeamformerModel. Runs on the umockdev testbed's worker thread.
//
// A device's latency is waited out on a ReplyTimer, so the testbed's one
// thread never waits and devices answer side by side. A URB lands when the
// latency has passed (a program whose time limit runs out first discards
// it); a synchronous control transfer waits in its ioctl, at most for its
// own time limit.
//
// One open file at a time may hold the device's interface; the claim ends
// when the file releases it, is closed, or the device is unplugged.

#include <umockdev.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "sim/beamformer_model.h"
#include "sim/gobject_ptr.h"
#include "sim/usb_descriptors.h"

namespace sovra::sim {

class ReplyTimer;

struct UsbfsAddress {
    std::uint32_t bus = 1;
    std::uint32_t device = 2;
    std::uint8_t port = 1;  // on the root hub
};

// Largest data stage of a control request the node accepts, like the
// kernel's usbfs limit.
inline constexpr std::size_t kMaxControlData = 4096;
// Completed requests one open file may leave uncollected before further
// submissions are refused (ENOMEM), as the kernel bounds usbfs memory: a
// program that never reaps must not grow the host without end.
inline constexpr std::size_t kMaxUncollected = 1024;

class UsbfsHandler {
  public:
    // Called (on the testbed's thread) when the model answers that the
    // device has gone, so that its host can take it off the bus.
    using GoneCallback = std::function<void()>;

    // `timer` sends the held replies; the handler does not keep it alive.
    // Once it is stopped or gone, replies go out without delay.
    UsbfsHandler(std::shared_ptr<BeamformerModel> model, UsbfsAddress address, UsbIds ids,
                 GoneCallback onGone, const std::shared_ptr<ReplyTimer>& timer);
    ~UsbfsHandler();
    UsbfsHandler(const UsbfsHandler&) = delete;
    UsbfsHandler& operator=(const UsbfsHandler&) = delete;

    // The object to attach to the device node.
    UMockdevIoctlBase* object() const { return object_.get(); }

    // Ends the connection of every file open on the node: from now on they
    // get ENODEV (after collecting what had completed), even once the
    // device is back; a reply still held back goes out at once as ENODEV,
    // a URB in flight lands at once with status -ESHUTDOWN, and every claim
    // ends. Files opened afterwards are served.
    void Disconnect();

    // Requests whose answer is still waiting out the latency.
    std::size_t RequestsInFlight() const;

    struct Core;

  private:
    // The signal closures share the core, so it lives as long as the
    // testbed may still call in, whichever of the two goes last.
    std::shared_ptr<Core> core_;
    GObjectPtr<UMockdevIoctlBase> object_;
};

}  // namespace sovra::sim
