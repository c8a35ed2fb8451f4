#pragma once
// What the desktop-application tests share: an opener that binds devices to
// in-process virtual beamformers, a catalogue and firmware files in a fresh
// folder, and a driver that answers whatever modal window comes up.

#include <QColor>
#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/device_control.h"
#include "device/device_source.h"
#include "sim/beamformer_model.h"
#include "sim/in_process_channel.h"
#include "tests/support/fixed_source.h"
#include "tests/support/temp_dir.h"
#include "ui/dialog_services.h"

class QWidget;

namespace sovra::ui {
class MainWindow;
}

namespace sovra::testing {

// The binding: each path leads to a virtual beamformer, or to one of the
// two ways of not getting one.
class TestOpener {
  public:
    void Add(const std::string& path, std::shared_ptr<sim::BeamformerModel> model);
    void Refuse(const std::string& path, Status status);

    DeviceControl Open(const DeviceEntry& entry);
    int Opens() const { return opens_; }
    // The channel last handed out (to look at its requests).
    std::shared_ptr<sim::InProcessChannel> LastChannel() const { return last_; }

  private:
    std::map<std::string, std::shared_ptr<sim::BeamformerModel>> models_;
    std::map<std::string, Status> refusals_;
    std::shared_ptr<sim::InProcessChannel> last_;
    int opens_ = 0;
};

// A device the sample catalogue knows: "Beamformer 100", vendor 0xABC,
// product 0x10.
inline constexpr sovra::UsbIds kKnownIds{0x0ABC, 0x0010, 0x0102};
inline constexpr const char* kKnownRowText = "Beamformer 100, firmware ver. 01.02";

// Everything a main dialog under test needs, wired together.
struct TestRig {
    TestRig();
    // Catalogue rows: each Device element's attributes, written as given.
    void WriteCatalogue(const std::vector<std::string>& deviceElements);
    // A catalogue with the known device model and one firmware choice per
    // file name given.
    void WriteStandardCatalogue(const std::vector<std::string>& firmwareFiles);
    std::shared_ptr<sim::BeamformerModel> PlugModel(const std::string& path,
                                                    sim::FaultPlan faults = {});
    ui::DialogServices Services();

    TempDir dir;
    std::string cataloguePath;
    // Where updates keep the device's old flash; made by the update.
    std::string backupFolder = dir.File("state/backups");
    std::shared_ptr<DeviceBus> bus = std::make_shared<DeviceBus>();
    std::shared_ptr<TestOpener> opener = std::make_shared<TestOpener>();
    UpdateRun::ThreadStarter startThread;
};

// The sample firmware file and a device flash to merge it with.
std::vector<std::uint8_t> SampleFirmware();
std::vector<std::uint8_t> SampleDeviceFlash();

// Processes events until `done` holds. Gives up (and returns false) only
// after a minute, so a broken test fails instead of hanging.
bool PumpUntil(const std::function<bool()>& done);

// Answers modal windows: while it lives, every pass of the event loop
// hands the active modal window (if any) to the handler.
class ModalDriver {
  public:
    explicit ModalDriver(std::function<void(QWidget*)> handler);
    ~ModalDriver();
    ModalDriver(const ModalDriver&) = delete;
    ModalDriver& operator=(const ModalDriver&) = delete;

  private:
    std::unique_ptr<QTimer> timer_;
};

// A message box as the user saw it.
struct SeenBox {
    std::string title;
    std::string text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool onlyOk = false;
};
SeenBox Describe(QMessageBox* box);
// Dismisses it with OK.
void Dismiss(QMessageBox* box);

// What the user saw of Start Update when every box is dismissed, the
// caution accepted and the progress window closed once it finished.
struct PressedUpdate {
    std::vector<std::string> boxes;
    std::string result;     // the progress window's last message; empty: none shown
    std::string operation;  // its operation label then
    QColor colour;          // the message's colour
};
PressedUpdate PressStartUpdate(ui::MainWindow& window);

}  // namespace sovra::testing
