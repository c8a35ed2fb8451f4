// The Start Update command: from the user's two choices to the update.

#include <QListWidget>
#include <chrono>
#include <iostream>
#include <string>

#include "app/event_log.h"
#include "device/flash_backup.h"
#include "ui/caution_dlg.h"
#include "ui/firmware_file.h"
#include "ui/firmware_update_dlg.h"
#include "ui/write_process_dlg.h"

namespace sovra::ui {
namespace {

// Frees the firmware bytes on every way out of the command.
class ScopeExit {
  public:
    explicit ScopeExit(std::function<void()> fn) : fn_(std::move(fn)) {}
    ~ScopeExit() { fn_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

  private:
    std::function<void()> fn_;
};

// Keeps the Stage 1 read-back as a new file in `folder` before anything is
// written. A backup that cannot be written ends the update with the device
// untouched: a failed write would otherwise lose the device's own data for
// good. The window's texts are fixed, so the reason goes to stderr.
std::function<Status(std::span<const std::uint8_t>)> KeepReadBackIn(std::string folder,
                                                                    DeviceEntry device) {
    return [folder = std::move(folder),
            device = std::move(device)](std::span<const std::uint8_t> readBack) -> Status {
        std::string path;
        std::string error;
        if (!KeepBackup(folder, device, std::chrono::system_clock::now(), readBack, path, error)) {
            std::cerr << "sovra-firmware-update: no backup of the device's flash could be "
                         "written, so nothing was written to the device: "
                      << error << '\n';
            return E_BACKUP_FAILED;
        }
        return S_OK;
    };
}

}  // namespace

void CFirmwareUpdateDlg::Refuse(const char* text, const SystemEvent& entry) {
    ErrorBox(this, text);
    ReportSystemEvent(entry);
}

void CFirmwareUpdateDlg::FreeFirmware() {
    std::vector<std::uint8_t>().swap(firmware_);
}

void CFirmwareUpdateDlg::OnStartUpdate() {
    const ScopeExit freeFirmware([this] { FreeFirmware(); });

    // 1, 2: the device row and its entry.
    const int deviceCount = static_cast<int>(devices_.Rows().size());
    const int device = devices_.Selection();
    if (device < 0 || device >= deviceCount) {
        Refuse(kNoDeviceSelectedText, kEventErrorGettingDevice);
        return;
    }
    const DeviceEntry* deviceEntry = devices_.SelectedEntry();
    if (deviceEntry == nullptr) {
        Refuse(kDeviceNotDescribedText, kEventErrorLoadingDevice);
        return;
    }

    // 3, 4: the firmware row and its entry.
    const int firmwareCount = static_cast<int>(choices_.size());
    const int firmware = firmwareList_->Selection();
    if (firmware < 0 || firmware >= firmwareCount || firmware >= firmwareList_->count()) {
        Refuse(kNoFirmwareSelectedText, kEventErrorGettingFirmware);
        return;
    }
    const FirmwareEntry* firmwareEntry = choices_[static_cast<std::size_t>(firmware)].entry.get();
    if (firmwareEntry == nullptr) {
        Refuse(kFirmwareNotDescribedText, kEventErrorLoadingFirmware);
        return;
    }
    const std::string fileName = firmwareEntry->fileName;
    // What the backup's name needs, by value: the entry itself may be gone
    // by the time the read-back is kept.
    DeviceEntry backupDevice = *deviceEntry;

    // 5, 6: the binding. The device entry is not looked at after this: the
    // dialogs below let device changes rebuild the list, and its entries
    // with it.
    DeviceControl control;
    {
        const WaitCursor wait;
        if (services_.openDeviceControl) {
            control = services_.openDeviceControl(*deviceEntry);
        }
    }
    deviceEntry = nullptr;
    if (control.result == BindResult::kNotBound) {
        Refuse(kDeviceNotOpenedText, kEventErrorOpeningDevice);
        return;
    }
    if (control.result != BindResult::kBound || !control.channel) {
        return;
    }
    const std::shared_ptr<DeviceChannel> channel(std::move(control.channel));

    // 7: the file, whole, and only an image the flash can take.
    FreeFirmware();
    const Status read = ReadFirmwareFile(fileName, firmware_);
    if (read == E_FAIL) {
        FreeFirmware();
        Refuse(kFirmwareFileUnreadableText, kEventErrorReadingFirmwareFile);
        return;
    }
    if (Failed(read) || Failed(ValidateFirmwareFile(firmware_))) {
        FreeFirmware();
        Refuse(kFirmwareFileInvalidText, kEventErrorReadingFirmwareFile);
        return;
    }

    // 8: the last question, then the update.
    CCautionDlg caution(this);
    if (caution.DoModal() != kIdOk) {
        return;
    }
    {
        CWriteProcessDlg progress(this, services_.startThread);
        progress.SetContext(channel, firmware_);
        progress.Context().options.keepReadBack =
            KeepReadBackIn(services_.backupFolder ? services_.backupFolder() : std::string(),
                           std::move(backupDevice));
        progress.DoModal();
    }
}

}  // namespace sovra::ui
