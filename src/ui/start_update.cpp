// The Start Update command: from the user's two choices to the update.

#include <QListWidget>
#include <QScopeGuard>
#include <string>

#include "app/event_log.h"
#include "catalogue/catalogue_signature.h"
#include "flash/firmware_file.h"
#include "ui/caution_dialog.h"
#include "ui/main_window.h"
#include "ui/progress_dialog.h"

namespace sovra::ui {

void MainWindow::Refuse(std::string_view text, const SystemEvent& entry) {
    ErrorBox(this, text);
    ReportSystemEvent(entry);
}

void MainWindow::FreeFirmware() {
    std::vector<std::uint8_t>().swap(firmware_);
}

void MainWindow::StartUpdate() {
    // The firmware bytes are freed on every way out of the command.
    const auto freeFirmware = qScopeGuard([this] { FreeFirmware(); });

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
    // File_Name as read from the catalogue's folder, so a bundle works from
    // wherever the program was started.
    const std::string fileName = firmwareEntry->path;
    const FirmwareEntry chosenFirmware = *firmwareEntry;
    // By value: the row's entry may be gone by the time the job needs it
    // (the backup's name).
    const DeviceEntry chosenDevice = *deviceEntry;

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
        Refuse(control.PermissionProblem() ? kDeviceNoPermissionText : kDeviceNotOpenedText,
               kEventErrorOpeningDevice);
        return;
    }
    if (control.result == BindResult::kNoControl && control.status == E_DEVICE_BUSY) {
        // Another program holds the device: saying nothing would leave the
        // user pressing Start Update again and again.
        Refuse(kDeviceBusyText, kEventErrorOpeningDevice);
        return;
    }
    if (control.result != BindResult::kBound || !control.channel) {
        return;
    }
    const std::shared_ptr<DeviceChannel> channel(std::move(control.channel));

    // 7: with trusted keys installed, only a catalogue one of them signed,
    // and of it only an entry that pins its file; then the file, whole, and
    // only an image the flash can take.
    const SignatureCheck signature = CheckCatalogueSignature(catalogue_);
    std::string untrusted = SignatureRefusal(signature);
    if (untrusted.empty()) {
        untrusted = UnpinnedRefusal(signature, chosenFirmware, "'" + chosenFirmware.fileName + "'");
    }
    if (!untrusted.empty()) {
        Refuse(kUntrustedCatalogueLine + untrusted, kEventErrorReadingFirmwareFile);
        return;
    }
    FreeFirmware();
    FirmwareFile file;
    if (const Error e = LoadFirmwareFile(fileName, file); e.Failed()) {
        // A file that cannot be read, and one that is no image the flash
        // can take, are refused with messages of their own.
        Refuse(e.Code() == E_FAIL ? kFirmwareFileUnreadableText : kFirmwareFileInvalidText,
               kEventErrorReadingFirmwareFile);
        return;
    }
    // A catalogue entry with SHA256 sends that file and no other.
    const PinCheck pin = CheckPinnedDigest(chosenFirmware, Sha256(file.bytes));
    if (pin == PinCheck::kMismatch || pin == PinCheck::kMalformed) {
        Refuse(kFirmwareFileMismatchText, kEventErrorReadingFirmwareFile);
        return;
    }
    firmware_ = std::move(file.bytes);

    // 8: the last question, then the update.
    CautionDialog caution(this);
    if (caution.Run() != QDialog::Accepted) {
        return;
    }
    {
        UpdateJob job;
        job.program = "sovra-firmware-update";
        job.channel = channel;
        job.device = chosenDevice;
        job.imagePath = fileName;
        job.image = firmware_;
        job.options.signingKey = signature.SigningKey();
        job.options.backup =
            BackupPolicy::Folder(services_.backupFolder ? services_.backupFolder() : std::string());
        ProgressDialog progress(this, services_.startThread);
        progress.SetJob(std::move(job));
        progress.Run();
    }
}

}  // namespace sovra::ui
