#pragma once
// What the desktop-application tests share: devices that come and go on a
// real file descriptor, an opener that binds them to in-process virtual
// beamformers, a catalogue and firmware files in a fresh folder, and a
// driver that answers whatever modal window comes up.

#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/device_control.h"
#include "device/device_source.h"
#include "sim/beamformer_model.h"
#include "sim/in_process_channel.h"
#include "ui/dialog_services.h"

class QWidget;

namespace sovra::testing {

// Present devices, changed by the test; each change makes the event
// descriptor readable, as a udev monitor's does.
class TestBus {
  public:
    TestBus();
    ~TestBus();
    TestBus(const TestBus&) = delete;
    TestBus& operator=(const TestBus&) = delete;

    void Plug(const std::string& path, sovra::UsbIds ids);
    void Unplug(const std::string& path);
    // An event that is neither an arrival nor a removal.
    void Nudge();

    std::vector<PresentDevice> Present() const;
    int EventFd() const { return efd_; }
    // The arrivals and removals since the last drain.
    std::vector<DeviceChange> Drain();
    // Whether an event is still waiting for a drain.
    bool Pending() const;
    int OpenSources() const { return openSources_; }
    void SourceOpened() { ++openSources_; }
    void SourceClosed() { --openSources_; }

  private:
    mutable std::mutex mu_;
    std::vector<PresentDevice> present_;
    int efd_ = -1;
    std::vector<DeviceChange> changes_;
    bool pending_ = false;
    int openSources_ = 0;
};

class TestDeviceSource final : public DeviceSource {
  public:
    explicit TestDeviceSource(std::shared_ptr<TestBus> bus);
    ~TestDeviceSource() override;
    std::vector<PresentDevice> PresentDevices() override { return bus_->Present(); }
    int EventFd() const override { return bus_->EventFd(); }
    std::vector<DeviceChange> DrainEvents() override { return bus_->Drain(); }

  private:
    std::shared_ptr<TestBus> bus_;
};

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

// A fresh folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const;
    std::string Write(const std::string& name, const std::string& text) const;

  private:
    std::string path_;
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
    std::shared_ptr<TestBus> bus = std::make_shared<TestBus>();
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

}  // namespace sovra::testing
