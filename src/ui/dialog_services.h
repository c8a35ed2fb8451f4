#pragma once
// What the main dialog takes from outside itself: the catalogue, the
// device source, the binding of a device row to a channel, and how the
// update's thread is made. The program uses the system's (the catalogue
// file in the current directory, libudev, libusb, std::thread); tests hand
// in their own devices and keep the real widgets.

#include <functional>
#include <memory>

#include "catalogue/catalogue.h"
#include "device/device_control.h"
#include "device/device_source.h"
#include "flash/update_sequence.h"

namespace sovra::ui {

struct DialogServices {
    std::function<FirmwareCatalogue()> loadCatalogue;
    // The source of present devices and of change events; null when
    // discovery cannot start (the list then stays empty).
    std::function<std::unique_ptr<DeviceSource>()> openDeviceSource;
    std::function<DeviceControl(const DeviceEntry&)> openDeviceControl;
    // Empty: a plain std::thread.
    UpdateWorker::ThreadStarter startThread;
};

DialogServices SystemDialogServices();

}  // namespace sovra::ui
