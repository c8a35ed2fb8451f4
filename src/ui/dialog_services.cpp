#include "ui/dialog_services.h"

#include <string>

#include "device/udev_source.h"
#include "update/state.h"

namespace sovra::ui {

DialogServices SystemDialogServices(const std::optional<std::string>& cataloguePath) {
    DialogServices services;
    services.loadCatalogue = [cataloguePath] {
        return cataloguePath ? FirmwareCatalogue::LoadFrom(*cataloguePath)
                             : FirmwareCatalogue::LoadDefault();
    };
    services.openDeviceSource = []() -> std::unique_ptr<DeviceSource> {
        // Discovery fails silently: no source only leaves the list empty.
        std::string error;
        return UdevSource::Open(/*watch=*/true, error);
    };
    services.openDeviceControl = [](const DeviceEntry& entry) { return OpenDeviceControl(entry); };
    // The same folder as sovra-flash's, so that its restore hints and these
    // backups are found in one place.
    services.backupFolder = [] { return DefaultBackupFolder(); };
    return services;
}

}  // namespace sovra::ui
