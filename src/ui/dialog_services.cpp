#include "ui/dialog_services.h"

#include <string>

#include "device/flash_backup.h"
#include "device/udev_source.h"

namespace sovra::ui {

DialogServices SystemDialogServices() {
    DialogServices services;
    services.loadCatalogue = [] { return FirmwareCatalogue::LoadDefault(); };
    services.openDeviceSource = []() -> std::unique_ptr<DeviceSource> {
        // Discovery fails silently: no source only leaves the list empty.
        std::string error;
        return UdevSource::Open(/*watch=*/true, error);
    };
    services.openDeviceControl = [](const DeviceEntry& entry) { return OpenDeviceControl(entry); };
    // The program reads no environment variables: the home folder is the
    // password database's.
    services.backupFolder = [] { return BackupDirectory({}, PasswordHomeFolder()); };
    return services;
}

}  // namespace sovra::ui
