#pragma once
// Where the device list comes from: the present devices, and a file
// descriptor that becomes readable when devices may have come or gone. Any
// event loop can watch the descriptor (a QSocketNotifier, poll()); after it
// fires, DrainEvents() says which devices came or went, and the list's
// owner decides whether they concern it (DeviceList::Concerns).

#include <string>
#include <vector>

#include "device/device_rules.h"

namespace sovra {

class DeviceSource {
  public:
    virtual ~DeviceSource() = default;

    // Every present device of the kind the tool looks at, with its ids. A
    // device whose ids cannot be read is left out.
    virtual std::vector<PresentDevice> PresentDevices() = 0;

    // Readable when events are pending; -1 when the source cannot watch for
    // changes (then the list is built once).
    virtual int EventFd() const = 0;

    // Takes every pending event without blocking: the devices that arrived
    // or left, in the order the events came. Other events give nothing.
    virtual std::vector<DeviceChange> DrainEvents() = 0;
};

}  // namespace sovra
