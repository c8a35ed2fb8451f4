#pragma once
// The program's only top-level window: the firmware choices the catalogue
// offers, the connected devices it knows (kept current as devices come and
// go), and the Start Update button. Laid out in dialog units of its font;
// resizing the window moves no control.

#include <QDialog>
#include <QIcon>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "app/event_log.h"
#include "catalogue/catalogue.h"
#include "device/device_rules.h"
#include "device/device_source.h"
#include "ui/dialog_services.h"
#include "ui/dialog_units.h"
#include "ui/platform.h"
#include "update/admission.h"

class QListWidget;
class QPushButton;
class QSocketNotifier;

namespace sovra::ui {

inline constexpr const char* kMainCaption = "SovRa firmware upgrade 1.02";
inline constexpr const char* kTopText =
    "This utility upgrades SovRa beamformer with firmware from the list";
// "upgrate" is the window's own spelling, kept on purpose (manuals and
// screenshots show it). Do not correct it.
inline constexpr const char* kInstructionText =
    "Connect beamformer you want to upgrate to the system and power on it.\nYour computer must "
    "not be running on battery.\nList of connected devices:";
inline constexpr const char* kFirmwareLabelText = "Firmware to write:";

// The refusals of Start Update, shown in the error box before their entry
// goes to the system log.
inline constexpr const char* kNoDeviceSelectedText =
    "Upgrade initialization error.\nNo device is properly selected to update.";
inline constexpr const char* kDeviceNotDescribedText =
    "Upgrade initialization error.\nSelected device is not described properly.";
inline constexpr const char* kNoFirmwareSelectedText =
    "Upgrade initialization error.\nNo firmware is properly selected to update.";
inline constexpr const char* kFirmwareNotDescribedText =
    "Upgrade initialization error.\nSelected firmware is not described properly.";
inline constexpr const char* kDeviceNotOpenedText =
    "Hardware initialization error.\nDevice is not powered on or device is damaged!";
inline constexpr const char* kFirmwareFileUnreadableText =
    "Upgrade initialization error.\nError reading firmware data file.";
inline constexpr const char* kDeviceBusyText =
    "Hardware initialization error.\nThe device is in use by another program. Close it and try "
    "again.";
// On Linux a device node the user may not open almost always means that the
// udev rule granting access is not installed.
inline constexpr const char* kDeviceNoPermissionText =
    "Hardware initialization error.\nYou have no permission to use the device. Install the udev "
    "rule 70-sovra-beamformer.rules (see sovra-flash udev-rules), replug the device and try "
    "again.";
inline constexpr const char* kFirmwareFileInvalidText =
    "Upgrade initialization error.\nSelected firmware file is not a valid firmware image.";
// The catalogue entry pins another file (its SHA256), or a digest that
// nothing can match.
inline constexpr const char* kFirmwareFileMismatchText =
    "Upgrade initialization error.\nSelected firmware file does not match its catalogue entry.";
// Followed by the sentence saying why the catalogue or its entry is not
// trusted (catalogue_signature.h).
inline constexpr const char* kUntrustedCatalogueLine = "Upgrade initialization error.\n";

// The application icon: every size of resource 128.
QIcon ApplicationIcon();
// The size the minimised window's icon is drawn at.
inline constexpr int kLargeIconSize = 32;

class MainWindow : public QDialog {
  public:
    // Loads the catalogue and the icon; the window is set up by
    // Prepare.
    explicit MainWindow(DialogServices services, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The modal run: initialisation, the run itself, then StopWatchingDevices.
    // Returns QDialog::Accepted or Rejected, which nobody needs.
    int Run();
    void Prepare();
    // Stops watching for device changes and empties both lists, releasing
    // every row's item data.
    void StopWatchingDevices();

    // The Start Update command.
    void StartUpdate();

    // What a minimised window shows and what it drags.
    const QIcon& DragIcon() const { return icon_; }

    // The controls, by their ids.
    QPushButton* OkButton() const { return ok_; }                     // 1
    StaticText* TopText() const { return topText_; }                  // 1007
    QListWidget* DeviceListBox() const { return deviceListBox_; }     // 1008
    QPushButton* StartUpdateButton() const { return startUpdate_; }   // 1009
    EditableRowCombo* FirmwareList() const { return firmwareList_; }  // 1010

    const DeviceList& Devices() const { return devices_; }
    const std::vector<FirmwareChoice>& FirmwareChoiceRows() const { return choices_; }
    const FirmwareCatalogue& Catalogue() const { return catalogue_; }
    // The firmware file's bytes while a Start Update command holds them.
    std::uint32_t FirmwareLength() const { return static_cast<std::uint32_t>(firmware_.size()); }
    bool WatchingDevices() const { return notifier_ != nullptr; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void EnumerateDevices();
    void OnDeviceChange();
    void OnDeviceSelectionChanged();
    void FillFirmwareChoices();
    void ReleaseFirmwareChoices();
    void ClearDeviceList();
    // Shows a refusal of Start Update, then writes its entry.
    void Refuse(std::string_view text, const SystemEvent& entry);
    // The box and entry of a refusal of the chosen firmware (AdmitEntry).
    void Refuse(const Refusal& refusal);
    void FreeFirmware();

    DialogServices services_;
    QIcon icon_;
    DialogUnits units_;

    QPushButton* ok_ = nullptr;
    StaticText* topText_ = nullptr;
    StaticText* instructions_ = nullptr;
    QListWidget* deviceListBox_ = nullptr;
    QPushButton* startUpdate_ = nullptr;
    EditableRowCombo* firmwareList_ = nullptr;
    StaticText* firmwareLabel_ = nullptr;

    std::unique_ptr<DeviceSource> deviceSource_;
    QSocketNotifier* notifier_ = nullptr;
    DeviceList devices_;

    std::vector<std::uint8_t> firmware_;
    FirmwareCatalogue catalogue_;
    std::vector<FirmwareChoice> choices_;
};

}  // namespace sovra::ui
