// The Start Update command through the real main dialog: its refusals, in
// their order, with their boxes and entries; its two silent ends; and whole
// updates against in-process virtual beamformers.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "flash/flash_command.h"
#include "support/log_receiver.h"
#include "ui/caution_dlg.h"
#include "ui/firmware_update_dlg.h"
#include "ui/write_process_dlg.h"
#include "ui_test_support.h"

namespace sovra::ui {
namespace {

using testing::Entry;
using testing::LogEntry;
using testing::LogReceiver;
using testing::TestRig;

constexpr const char* kDevicePath = "/dev/bus/usb/001/002";

enum class Caution { kOk, kCancel };

class StartUpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        firmware = testing::SampleFirmware();
        firmwarePath = rig.dir.Write("good.img", firmware);
    }

    // The dialog, initialised and shown, with the start entry drained.
    std::unique_ptr<CFirmwareUpdateDlg> Open() { return Open(rig); }
    std::unique_ptr<CFirmwareUpdateDlg> Open(TestRig& r) {
        auto dlg = std::make_unique<CFirmwareUpdateDlg>(r.Services());
        dlg->OnInitDialog();
        dlg->show();
        log.Drain();
        return dlg;
    }

    // Answers every modal window as a user would: boxes with OK (noting
    // what they said and how many entries had been written by then), the
    // caution dialog with `caution`, the progress dialog with CLOSE once it
    // lets itself be closed.
    std::unique_ptr<testing::ModalDriver> Drive(Caution caution = Caution::kOk,
                                                std::function<void()> duringUpdate = {}) {
        return std::make_unique<testing::ModalDriver>(
            [this, caution, duringUpdate](QWidget* modal) {
                if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                    boxes.push_back(testing::Describe(box));
                    entriesWhenBoxShown += log.Drain().size();
                    testing::Dismiss(box);
                } else if (auto* c = dynamic_cast<CCautionDlg*>(modal)) {
                    ++cautions;
                    c->findChild<QPushButton*>(caution == Caution::kOk ? "1" : "2")->click();
                } else if (auto* p = dynamic_cast<CWriteProcessDlg*>(modal)) {
                    if (!sawProgress && duringUpdate) {
                        duringUpdate();
                    }
                    sawProgress = true;
                    if (p->Finished()) {
                        result = p->MessageLabel()->text().toStdString();
                        resultColour = p->MessageLabel()->EffectiveTextColour();
                        p->CloseButton()->click();
                    }
                }
            });
    }

    LogReceiver log;
    TestRig rig;
    std::vector<std::uint8_t> firmware;
    std::string firmwarePath;

    std::vector<testing::SeenBox> boxes;
    std::size_t entriesWhenBoxShown = 0;
    int cautions = 0;
    bool sawProgress = false;
    std::string result;
    QColor resultColour;
};

// Each refusal: how the command was set up, the message it shows, and the
// one entry it writes after the box is gone. The checks run in order, so a
// later check's fault is not seen while an earlier one fails.
TEST_F(StartUpdateTest, RefusalsShowTheirBoxThenWriteTheirEntry) {
    struct Case {
        const char* name;
        bool device;               // plug the known device
        bool deselectDevice;       // the user clears the device selection
        const char* firmwareFile;  // the chosen row's file; null: no row chosen
        std::function<std::string(TestRig&)> makeFile;  // returns the path to write in the row
        std::optional<BindResult> binding;              // how the binding ends, if it fails
        const char* message;                            // null: a silent end
        SystemEvent entry;
        bool bound;  // whether the binding was reached
    };
    const auto file = [](const char* name, std::vector<std::uint8_t> bytes) {
        return [name, bytes](TestRig& r) { return r.dir.Write(name, bytes); };
    };
    const auto good = [this](TestRig&) { return firmwarePath; };
    std::vector<std::uint8_t> tooLong = firmware;
    tooLong.resize(FlashSize + 1, 0xFF);
    const std::vector<std::uint8_t> garbage(1000, 0x5A);

    const Case cases[] = {
        {"no device",
         false,
         false,
         "x",
         good,
         {},
         kNoDeviceSelectedText,
         kEventErrorGettingDevice,
         false},
        {"device row not selected",
         true,
         true,
         "x",
         good,
         {},
         kNoDeviceSelectedText,
         kEventErrorGettingDevice,
         false},
        {"no firmware chosen",
         true,
         false,
         nullptr,
         good,
         {},
         kNoFirmwareSelectedText,
         kEventErrorGettingFirmware,
         false},
        {"device not bound", true, false, "x", good, BindResult::kNotBound, kDeviceNotOpenedText,
         kEventErrorOpeningDevice, true},
        {"device without control", true, false, "x", good, BindResult::kNoControl, nullptr,
         kEventErrorOpeningDevice, true},
        {"file missing",
         true,
         false,
         "x",
         [](TestRig& r) { return r.dir.File("missing.img"); },
         {},
         kFirmwareFileUnreadableText,
         kEventErrorReadingFirmwareFile,
         true},
        {"file is a folder",
         true,
         false,
         "x",
         [](TestRig& r) { return r.dir.Path(); },
         {},
         kFirmwareFileUnreadableText,
         kEventErrorReadingFirmwareFile,
         true},
        {"file is a named pipe",
         true,
         false,
         "x",
         [](TestRig& r) {
             const std::string fifo = r.dir.File("pipe.img");
             ::mkfifo(fifo.c_str(), 0600);
             return fifo;
         },
         {},
         kFirmwareFileUnreadableText,
         kEventErrorReadingFirmwareFile,
         true},
        {"file empty",
         true,
         false,
         "x",
         file("empty.img", {}),
         {},
         kFirmwareFileInvalidText,
         kEventErrorReadingFirmwareFile,
         true},
        {"file not an image",
         true,
         false,
         "x",
         file("garbage.img", garbage),
         {},
         kFirmwareFileInvalidText,
         kEventErrorReadingFirmwareFile,
         true},
        {"file longer than the flash",
         true,
         false,
         "x",
         file("long.img", tooLong),
         {},
         kFirmwareFileInvalidText,
         kEventErrorReadingFirmwareFile,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestRig r;
        const std::string path = c.makeFile(r);
        r.WriteStandardCatalogue({path});
        std::shared_ptr<sim::BeamformerModel> model;
        if (c.device) {
            model = r.PlugModel(kDevicePath);
        }
        if (c.binding) {
            r.opener->Refuse(kDevicePath, *c.binding);
        }
        auto dlg = Open(r);
        if (c.deselectDevice) {
            dlg->DeviceListBox()->clearSelection();
        }
        if (c.firmwareFile != nullptr) {
            dlg->FirmwareList()->setCurrentIndex(0);
        }
        boxes.clear();
        entriesWhenBoxShown = 0;
        cautions = 0;
        {
            const auto driver = Drive();
            dlg->OnStartUpdate();
        }
        if (c.message != nullptr) {
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].text, c.message);
            EXPECT_EQ(boxes[0].title, "ERROR");
            EXPECT_EQ(boxes[0].icon, QMessageBox::Critical);
            EXPECT_TRUE(boxes[0].onlyOk);
            EXPECT_EQ(entriesWhenBoxShown, 0u) << "the entry came before the box was dismissed";
            EXPECT_EQ(log.Drain(), std::vector<LogEntry>{Entry(c.entry)});
        } else {
            EXPECT_TRUE(boxes.empty());
            EXPECT_TRUE(log.Drain().empty());
        }
        EXPECT_EQ(r.opener->Opens(), c.bound ? 1 : 0);
        EXPECT_EQ(cautions, 0);
        EXPECT_EQ(dlg->FirmwareLength(), 0u);
        if (model) {
            EXPECT_EQ(model->RequestCount(), 0u);
        }
    }
}

TEST_F(StartUpdateTest, CancelInTheCautionDialogWritesNothingAnywhere) {
    rig.WriteStandardCatalogue({firmwarePath});
    auto model = rig.PlugModel(kDevicePath);
    const std::vector<std::uint8_t> before = model->Flash();
    auto dlg = Open();
    dlg->FirmwareList()->setCurrentIndex(0);
    {
        const auto driver = Drive(Caution::kCancel);
        QTest::mouseClick(dlg->StartUpdateButton(), Qt::LeftButton);
    }
    EXPECT_EQ(cautions, 1);
    EXPECT_FALSE(sawProgress);
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(log.Drain().empty());
    EXPECT_EQ(model->RequestCount(), 0u);
    EXPECT_EQ(model->Flash(), before);
    EXPECT_EQ(dlg->FirmwareLength(), 0u);
}

TEST_F(StartUpdateTest, AWholeUpdateWritesTheDeviceAndLeavesNothingHeld) {
    rig.WriteStandardCatalogue({firmwarePath});
    auto model = rig.PlugModel(kDevicePath);
    auto dlg = Open();
    dlg->FirmwareList()->setCurrentIndex(0);
    {
        const auto driver = Drive();
        QTest::mouseClick(dlg->StartUpdateButton(), Qt::LeftButton);
    }
    EXPECT_EQ(cautions, 1);
    EXPECT_TRUE(sawProgress);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(result, kUpdateSucceededText);
    EXPECT_EQ(resultColour, QColor(0, 128, 0));
    EXPECT_EQ(log.Drain(), (std::vector<LogEntry>{Entry(kEventUpdateStarted), Entry(kEventStage1),
                                                  Entry(kEventStage2), Entry(kEventStage3),
                                                  Entry(kEventFirmwareUpdated)}));
    // One prepare, 4096 reads, then the image's chunks written.
    const std::uint64_t writes = (firmware.size() + ChunkSize - 1) / ChunkSize;
    EXPECT_EQ(model->RequestCount(), 1 + ChunkCount + writes);
    const std::vector<std::uint8_t> flash = model->Flash();
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.begin() + 4, flash.begin()));
    EXPECT_EQ(dlg->FirmwareLength(), 0u);
    // The main dialog is usable again.
    EXPECT_TRUE(dlg->StartUpdateButton()->isEnabled());
    EXPECT_EQ(dlg->Devices().Selection(), 0);
}

// The device list is rebuilt while the caution and progress dialogs are
// open; the command has taken what it needs from the row before, so the
// update goes on with the device it bound, even when its row is gone.
TEST_F(StartUpdateTest, DeviceChangesDuringTheUpdateRebuildTheListAndTheUpdateGoesOn) {
    rig.WriteStandardCatalogue({firmwarePath});
    auto model = rig.PlugModel(kDevicePath);
    auto dlg = Open();
    dlg->FirmwareList()->setCurrentIndex(0);
    int rowsDuringUpdate = -1;
    {
        const auto driver = Drive(Caution::kOk, [&] {
            rig.bus->Unplug(kDevicePath);
            rig.bus->Plug("/dev/bus/usb/001/009", testing::kKnownHardwareId);
            rig.bus->Plug("/dev/bus/usb/001/010", testing::kKnownHardwareId);
            testing::PumpUntil([&] { return dlg->DeviceListBox()->count() == 2; });
            rowsDuringUpdate = dlg->DeviceListBox()->count();
        });
        QTest::mouseClick(dlg->StartUpdateButton(), Qt::LeftButton);
    }
    EXPECT_EQ(rowsDuringUpdate, 2);
    EXPECT_EQ(result, kUpdateSucceededText);
    EXPECT_GT(model->RequestCount(), ChunkCount);
    EXPECT_EQ(dlg->Devices().Selection(), 0);
}

TEST_F(StartUpdateTest, AFailingDeviceEndsInDarkRedAndTheDialogStaysUsable) {
    rig.WriteStandardCatalogue({firmwarePath});
    sim::FaultPlan faults;
    faults.failAt = 1 + ChunkCount + 3;  // the third write
    auto model = rig.PlugModel(kDevicePath, faults);
    auto dlg = Open();
    dlg->FirmwareList()->setCurrentIndex(0);
    {
        const auto driver = Drive();
        QTest::mouseClick(dlg->StartUpdateButton(), Qt::LeftButton);
    }
    EXPECT_EQ(result, kUpdateFailedText);
    EXPECT_EQ(resultColour, QColor(192, 0, 0));
    const std::vector<LogEntry> entries = log.Drain();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back(), Entry(kEventUpdateFailed));
    EXPECT_EQ(dlg->FirmwareLength(), 0u);
    EXPECT_TRUE(dlg->StartUpdateButton()->isEnabled());
}

}  // namespace
}  // namespace sovra::ui
