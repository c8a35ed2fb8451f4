#pragma once
// What the main window takes from outside itself: the catalogue, the
// device source, the binding of a device row to a channel, how the
// update's thread is made, and where the device's old flash is kept. The
// program uses the system's (the catalogue named on its command line or the
// one the look-up finds, libudev, libusb, std::thread, the state folder's
// backups);
// tests hand in their own devices and folders and keep the real widgets.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "catalogue/catalogue.h"
#include "device/device_control.h"
#include "device/device_source.h"
#include "update/update_engine.h"

namespace sovra::ui {

struct DialogServices {
    std::function<FirmwareCatalogue()> loadCatalogue;
    // The source of present devices and of change events; null when
    // discovery cannot start (the list then stays empty).
    std::function<std::unique_ptr<DeviceSource>()> openDeviceSource;
    std::function<DeviceControl(const DeviceEntry&)> openDeviceControl;
    // Empty: a plain std::thread.
    UpdateRun::ThreadStarter startThread;
    // The folder each update keeps the device's old flash in before it
    // writes, asked once per update. The system's is sovra-flash's:
    // $XDG_STATE_HOME/sovra-firmware-update/backups, else under
    // ~/.local/state. An empty folder: no backup can be kept, so every
    // update ends before it reads.
    std::function<std::string()> backupFolder;
};

// `cataloguePath`: the catalogue named on the command line; without one,
// the catalogue the look-up finds (catalogue_location.h).
DialogServices SystemDialogServices(const std::optional<std::string>& cataloguePath = {});

}  // namespace sovra::ui
