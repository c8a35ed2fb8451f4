// One whole run of the desktop application's main dialog against a virtual
// beamformer behind the real libudev and libusb: the device listed by the
// udev source, hot-plug seen through the monitor on Qt's event loop, the
// device bound through libusb, and the update written through it.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QListWidget>
#include <algorithm>
#include <filesystem>
#include <iterator>

#include "device/udev_source.h"
#include "flash/image_format.h"
#include "flash/sample_image.h"
#include "sim/usb_host.h"
#include "support/log_receiver.h"
#include "ui/main_window.h"
#include "ui/progress_dialog.h"
#include "ui_test_support.h"

namespace sovra::ui {
namespace {

using testing::Entry;
using testing::LogEntry;

std::vector<std::string> Rows(const QListWidget* list) {
    std::vector<std::string> rows;
    for (int i = 0; i < list->count(); ++i) {
        rows.push_back(list->item(i)->text().toStdString());
    }
    return rows;
}

TEST(GuiUnderUmockdevTest, ListsHotPlugsAndUpdatesAVirtualBeamformer) {
    testing::LogReceiver log;
    testing::TempDir dir;
    const std::vector<std::uint8_t> firmware = testing::SampleFirmware();
    const std::string firmwarePath = dir.Write("fw.img", firmware);
    const std::string catalogue = dir.Write(
        "FirmwareUpdate.xml",
        "<Device_list><Device File_Name=\"" + firmwarePath +
            "\" REV=\"01.03\" Device_Name=\"Beamformer 100\" VID=\"abc\" PID=\"10\"/>"
            "<Device Device_Name=\"Beamformer 200\" VID=\"abc\" PID=\"11\"/></Device_list>");

    sim::UsbHost host;
    auto model = std::make_shared<sim::BeamformerModel>(testing::SampleDeviceFlash());
    host.Plug({0x0abc, 0x0010, 0x0102}, model);

    DialogServices services = SystemDialogServices();
    services.loadCatalogue = [catalogue] { return FirmwareCatalogue::LoadFrom(catalogue); };
    // The system's backup folder, which follows XDG_STATE_HOME as
    // sovra-flash's does; here not the user's own.
    ::setenv("XDG_STATE_HOME", dir.File("state").c_str(), 1);
    MainWindow dlg(services);
    dlg.Prepare();
    dlg.show();
    QListWidget* list = dlg.DeviceListBox();
    const std::string b100 = "Beamformer 100, firmware ver. 01.02";
    const std::string b200 = "Beamformer 200, firmware ver. 02.01";
    EXPECT_EQ(Rows(list), std::vector<std::string>{b100});
    ASSERT_TRUE(dlg.WatchingDevices());

    // A second device arrives and leaves; the list follows.
    const std::size_t second =
        host.Plug({0x0abc, 0x0011, 0x0201},
                  std::make_shared<sim::BeamformerModel>(testing::SampleDeviceFlash()));
    ASSERT_TRUE(testing::PumpUntil([&] { return Rows(list).size() == 2; }));
    EXPECT_EQ(Rows(list), (std::vector<std::string>{b100, b200}));
    host.Unplug(second);
    ASSERT_TRUE(testing::PumpUntil([&] { return Rows(list).size() == 1; }));
    EXPECT_EQ(list->currentRow(), 0);
    EXPECT_TRUE(dlg.StartUpdateButton()->isEnabled());

    dlg.FirmwareList()->setCurrentIndex(0);
    log.Drain();
    const auto [boxes, result, operation, colour] = testing::PressStartUpdate(dlg);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(result, kUpdateSucceededText);
    EXPECT_EQ(colour, QColor(0, 128, 0));
    EXPECT_EQ(log.Drain(), (std::vector<LogEntry>{Entry(kEventUpdateStarted), Entry(kEventStage1),
                                                  Entry(kEventStage2), Entry(kEventStage3),
                                                  Entry(kEventFirmwareUpdated)}));
    // The device's flash now starts with a valid image of the file's length.
    const std::vector<std::uint8_t> flash = model->Flash();
    ImageLayout layout;
    EXPECT_EQ(ValidateImage(std::span<const std::uint8_t>(flash).first(firmware.size()), FlashSize,
                            layout),
              S_OK);
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.begin() + 4, flash.begin()));
    EXPECT_EQ(dlg.FirmwareLength(), 0u);
    // The old flash was kept first.
    std::error_code ec;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(
                                dir.File("state/sovra-firmware-update/backups"), ec),
                            std::filesystem::directory_iterator()),
              1);
    dlg.StopWatchingDevices();
}

}  // namespace
}  // namespace sovra::ui

namespace sovra::ui {
namespace {

// The device in use by another program is refused with a message that says
// so; a device that acknowledges a write it does not keep ends in "Error
// updating device.", never in success.
TEST(GuiUnderUmockdevTest, ADeviceInUseIsToldAndALostWriteIsAFailure) {
    testing::LogReceiver log;
    testing::TempDir dir;
    ::setenv("XDG_STATE_HOME", dir.File("state").c_str(), 1);
    const std::string firmwarePath = dir.Write("fw.img", testing::SampleFirmware());
    const std::string catalogue =
        dir.Write("FirmwareUpdate.xml",
                  "<Device_list><Device File_Name=\"" + firmwarePath +
                      "\" REV=\"01.03\" Device_Name=\"Beamformer 100\" VID=\"abc\" PID=\"10\"/>"
                      "</Device_list>");
    sim::UsbHost host;
    auto model = std::make_shared<sim::BeamformerModel>(testing::SampleDeviceFlash(),
                                                        sim::FaultPlan{.dropWriteAt = 1});
    host.Plug({0x0abc, 0x0010, 0x0102}, model);
    const std::vector<std::uint8_t> before = model->Flash();

    DialogServices services = SystemDialogServices();
    services.loadCatalogue = [catalogue] { return FirmwareCatalogue::LoadFrom(catalogue); };
    MainWindow dlg(services);
    dlg.Prepare();
    dlg.show();
    ASSERT_EQ(dlg.DeviceListBox()->count(), 1);
    dlg.FirmwareList()->setCurrentIndex(0);

    std::vector<std::string> boxes;
    std::string result;
    std::string operation;  // the operation label when the result shows
    const auto press = [&] {
        const testing::PressedUpdate seen = testing::PressStartUpdate(dlg);
        boxes = seen.boxes;
        result = seen.result;
        operation = seen.operation;
    };

    {
        // Another program holds the device's interface.
        const DeviceControl other = OpenDeviceControl(dlg.Devices().Rows().at(0).entry);
        ASSERT_TRUE(other.channel);
        log.Drain();
        press();
        EXPECT_EQ(boxes, std::vector<std::string>{kDeviceBusyText});
        EXPECT_TRUE(result.empty());
        EXPECT_EQ(log.Drain(), std::vector<LogEntry>{Entry(kEventErrorOpeningDevice)});
        EXPECT_EQ(model->Flash(), before);
    }

    press();
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(result, kUpdateFailedText);
    // The window names the operation the update stopped in.
    EXPECT_EQ(operation.rfind("Verify firmware", 0), 0u) << operation;
    const std::vector<LogEntry> entries = log.Drain();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2], Entry(kEventUpdateFailed));
    EXPECT_NE(entries.back().text.find("differs from the image written"), std::string::npos)
        << entries.back().text;
    dlg.StopWatchingDevices();
}

}  // namespace
}  // namespace sovra::ui

namespace sovra::ui {
namespace {

// The system's udev source, remembering every change the window drained,
// so the test knows when the window has seen an event.
class WatchedSource final : public DeviceSource {
  public:
    WatchedSource(std::unique_ptr<DeviceSource> inner, std::vector<DeviceChange>& seen)
        : inner_(std::move(inner)), seen_(seen) {}
    std::vector<PresentDevice> PresentDevices() override { return inner_->PresentDevices(); }
    int EventFd() const override { return inner_->EventFd(); }
    std::vector<DeviceChange> DrainEvents() override {
        std::vector<DeviceChange> changes = inner_->DrainEvents();
        seen_.insert(seen_.end(), changes.begin(), changes.end());
        return changes;
    }

  private:
    std::unique_ptr<DeviceSource> inner_;
    std::vector<DeviceChange>& seen_;
};

// Two beamformers listed and the second chosen: a device of another kind
// arriving (a memory stick) leaves the choice alone, and Start Update
// updates the device the user chose, not the first row.
TEST(GuiUnderUmockdevTest, AnUnrelatedArrivalLeavesTheChosenDeviceToBeUpdated) {
    testing::LogReceiver log;
    testing::TempDir dir;
    ::setenv("XDG_STATE_HOME", dir.File("state").c_str(), 1);
    const std::vector<std::uint8_t> firmware = testing::SampleFirmware();
    const std::string firmwarePath = dir.Write("fw.img", firmware);
    const std::string catalogue =
        dir.Write("FirmwareUpdate.xml",
                  "<Device_list><Device File_Name=\"" + firmwarePath +
                      "\" REV=\"01.03\" Device_Name=\"Beamformer 100\" VID=\"abc\" PID=\"10\"/>"
                      "</Device_list>");

    sim::UsbHost host;
    auto first = std::make_shared<sim::BeamformerModel>(testing::SampleDeviceFlash());
    auto second = std::make_shared<sim::BeamformerModel>(testing::SampleDeviceFlash());
    host.Plug({0x0abc, 0x0010, 0x0102}, first);
    const std::size_t chosen = host.Plug({0x0abc, 0x0010, 0x0201}, second);
    const std::size_t stick =
        host.AddUnplugged({0x0781, 0x5567, 0x0100},
                          std::make_shared<sim::BeamformerModel>(testing::SampleDeviceFlash()));
    const std::vector<std::uint8_t> firstBefore = first->Flash();
    const std::vector<std::uint8_t> secondBefore = second->Flash();

    std::vector<DeviceChange> seen;
    DialogServices services = SystemDialogServices();
    services.loadCatalogue = [catalogue] { return FirmwareCatalogue::LoadFrom(catalogue); };
    services.openDeviceSource = [&seen]() -> std::unique_ptr<DeviceSource> {
        std::unique_ptr<DeviceSource> source;
        UdevSource::Open(true, source);
        return std::make_unique<WatchedSource>(std::move(source), seen);
    };
    MainWindow dlg(services);
    dlg.Prepare();
    dlg.show();
    QListWidget* list = dlg.DeviceListBox();
    ASSERT_EQ(Rows(list), (std::vector<std::string>{"Beamformer 100, firmware ver. 01.02",
                                                    "Beamformer 100, firmware ver. 02.01"}));
    list->setCurrentRow(1);

    host.Replug(stick);
    ASSERT_TRUE(testing::PumpUntil([&] {
        return std::any_of(seen.begin(), seen.end(),
                           [&](const DeviceChange& c) { return c.path == host.DeviceNode(stick); });
    }));
    QCoreApplication::processEvents();
    EXPECT_EQ(list->count(), 2);
    EXPECT_EQ(list->currentRow(), 1);
    ASSERT_NE(dlg.Devices().SelectedEntry(), nullptr);
    EXPECT_EQ(dlg.Devices().SelectedEntry()->path, host.DeviceNode(chosen));

    dlg.FirmwareList()->setCurrentIndex(0);
    const auto [boxes, result, operation, colour] = testing::PressStartUpdate(dlg);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(result, kUpdateSucceededText);
    EXPECT_TRUE(first->Flash() == firstBefore);
    const std::vector<std::uint8_t> written = second->Flash();
    EXPECT_FALSE(written == secondBefore);
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.begin() + 4, written.begin()));
    dlg.StopWatchingDevices();
}

}  // namespace
}  // namespace sovra::ui
