// The Start Update command through the real main dialog: its refusals, in
// their order, with their boxes and entries; its two silent ends; and whole
// updates against in-process virtual beamformers.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>

#include <QApplication>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "app/sha256.h"
#include "flash/flash_command.h"
#include "support/log_receiver.h"
#include "tests/support/read_back_requests.h"
#include "ui/caution_dialog.h"
#include "ui/main_window.h"
#include "ui/progress_dialog.h"
#include "ui_test_support.h"

namespace sovra::ui {
namespace {

using testing::Entry;
using testing::LogEntry;
using testing::LogReceiver;
using testing::TestRig;

constexpr const char* kDevicePath = "/dev/bus/usb/001/002";

enum class Caution { kOk, kCancel };

using testing::FilesIn;
constexpr auto ReadAll = testing::ReadFile;

std::size_t WritesSent(const sim::InProcessChannel& channel) {
    std::size_t n = 0;
    for (const sim::RecordedRequest& r : channel.Requests()) {
        n += r.request.bRequest == CommandWriteFlash ? 1 : 0;
    }
    return n;
}

class StartUpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        firmware = testing::SampleFirmware();
        firmwarePath = rig.dir.Write("good.img", firmware);
    }

    // The dialog, initialised and shown, with the start entry drained.
    std::unique_ptr<MainWindow> Open() { return Open(rig); }
    std::unique_ptr<MainWindow> Open(TestRig& r) {
        auto dlg = std::make_unique<MainWindow>(r.Services());
        dlg->Prepare();
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
                } else if (auto* c = dynamic_cast<CautionDialog*>(modal)) {
                    ++cautions;
                    c->findChild<QPushButton*>(caution == Caution::kOk ? "1" : "2")->click();
                } else if (auto* p = dynamic_cast<ProgressDialog*>(modal)) {
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
        bool binding;                                   // whether the binding fails
        Status bindStatus;                              // and how
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
         S_OK,
         kNoDeviceSelectedText,
         kEventErrorGettingDevice,
         false},
        {"device row not selected",
         true,
         true,
         "x",
         good,
         {},
         S_OK,
         kNoDeviceSelectedText,
         kEventErrorGettingDevice,
         false},
        {"no firmware chosen",
         true,
         false,
         nullptr,
         good,
         {},
         S_OK,
         kNoFirmwareSelectedText,
         kEventErrorGettingFirmware,
         false},
        {"device not bound", true, false, "x", good, true, E_DEVICE_GONE, kDeviceNotOpenedText,
         kEventErrorOpeningDevice, true},
        {"device not open to this user", true, false, "x", good, true, E_DEVICE_ACCESS,
         kDeviceNoPermissionText, kEventErrorOpeningDevice, true},
        {"device without control", true, false, "x", good, true, E_NOINTERFACE, nullptr,
         kEventErrorOpeningDevice, true},
        {"device in use by another program", true, false, "x", good, true, E_DEVICE_BUSY,
         kDeviceBusyText, kEventErrorOpeningDevice, true},
        {"file missing",
         true,
         false,
         "x",
         [](TestRig& r) { return r.dir.File("missing.img"); },
         {},
         S_OK,
         kFirmwareFileUnreadableText,
         kEventErrorReadingFirmwareFile,
         true},
        {"file is a folder",
         true,
         false,
         "x",
         [](TestRig& r) { return r.dir.Path(); },
         {},
         S_OK,
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
         S_OK,
         kFirmwareFileUnreadableText,
         kEventErrorReadingFirmwareFile,
         true},
        {"file empty",
         true,
         false,
         "x",
         file("empty.img", {}),
         {},
         S_OK,
         kFirmwareFileInvalidText,
         kEventErrorReadingFirmwareFile,
         true},
        {"file not an image",
         true,
         false,
         "x",
         file("garbage.img", garbage),
         {},
         S_OK,
         kFirmwareFileInvalidText,
         kEventErrorReadingFirmwareFile,
         true},
        {"file longer than the flash",
         true,
         false,
         "x",
         file("long.img", tooLong),
         {},
         S_OK,
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
            r.opener->Refuse(kDevicePath, c.bindStatus);
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
            dlg->StartUpdate();
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

// A catalogue entry with SHA256 lets only its own file through: another is
// refused like a bad file, before the caution dialog; the pinned one, in
// either case, goes on to it.
TEST_F(StartUpdateTest, AFileItsEntryDoesNotPinIsRefused) {
    auto model = rig.PlugModel(kDevicePath);
    const std::string pin = Sha256Hex(Sha256(firmware));
    const std::string upper = QString::fromStdString(pin).toUpper().toStdString();
    const struct {
        std::string sha256;
        bool refused;
    } cases[] = {
        {Sha256Hex(Sha256(model->Flash())), true}, {"none", true}, {pin, false}, {upper, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sha256);
        rig.WriteCatalogue(
            {R"(Device_Name="Beamformer 100" VID="abc" PID="10")",
             "File_Name=\"" + firmwarePath + "\" REV=\"01.00\" SHA256=\"" + c.sha256 + "\""});
        auto dlg = Open();
        dlg->FirmwareList()->setCurrentIndex(0);
        boxes.clear();
        cautions = 0;
        {
            const auto driver = Drive(Caution::kCancel);
            dlg->StartUpdate();
        }
        if (c.refused) {
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].text, kFirmwareFileMismatchText);
            EXPECT_EQ(log.Drain(), std::vector<LogEntry>{Entry(kEventErrorReadingFirmwareFile)});
        }
        EXPECT_EQ(cautions, c.refused ? 0 : 1);
        EXPECT_EQ(model->RequestCount(), 0u);
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

// Started with a bundle's catalogue (what the desktop entry passes) from
// another folder: its rows are listed, the log says which catalogue was read,
// and the chosen row's file is read from beside the catalogue.
TEST_F(StartUpdateTest, ACatalogueArgumentListsItsFirmwareAndUpdatesFromBesideIt) {
    std::filesystem::create_directories(rig.dir.File("bundle"));
    std::filesystem::create_directories(rig.dir.File("elsewhere"));
    rig.dir.Write("bundle/fw.img", firmware);
    const std::string catalogue =
        rig.dir.Write("bundle/FirmwareUpdate.xml",
                      std::string(R"(<Device_list><Device File_Name="fw.img" REV="03.00" )") +
                          R"(Device_Name="Bundle"/><Device Device_Name="Beamformer 100" )" +
                          R"(VID="abc" PID="10"/></Device_list>)");
    char saved[4096];
    ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(::chdir(rig.dir.File("elsewhere").c_str()), 0);

    DialogServices services = rig.Services();
    services.loadCatalogue = SystemDialogServices(catalogue).loadCatalogue;
    auto model = rig.PlugModel(kDevicePath);
    MainWindow dlg(services);
    dlg.Prepare();
    dlg.show();
    EXPECT_EQ(log.Drain(), (std::vector<LogEntry>{
                               Entry(kEventUtilityStarted),
                               {EVENTLOG_INFORMATION_TYPE, "Catalogue read: " + catalogue + "."}}));
    ASSERT_EQ(dlg.FirmwareList()->count(), 1);
    EXPECT_EQ(dlg.FirmwareList()->itemText(0).toStdString(), "Bundle, firmware ver. 03.00");
    dlg.FirmwareList()->setCurrentIndex(0);
    {
        const auto driver = Drive();
        QTest::mouseClick(dlg.StartUpdateButton(), Qt::LeftButton);
    }
    EXPECT_EQ(::chdir(saved), 0);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(cautions, 1);
    EXPECT_EQ(result, kUpdateSucceededText);
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
    // The flash read and confirmed, the image's chunks written and read back.
    const std::uint64_t writes = (firmware.size() + ChunkSize - 1) / ChunkSize;
    EXPECT_EQ(model->RequestCount(),
              testing::ReadBackRequests(testing::SampleDeviceFlash()) + 2 * writes);
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
            rig.bus->Plug("/dev/bus/usb/001/009", testing::kKnownIds);
            rig.bus->Plug("/dev/bus/usb/001/010", testing::kKnownIds);
            testing::PumpUntil([&] { return dlg->DeviceListBox()->count() == 2; });
            rowsDuringUpdate = dlg->DeviceListBox()->count();
        });
        QTest::mouseClick(dlg->StartUpdateButton(), Qt::LeftButton);
    }
    EXPECT_EQ(rowsDuringUpdate, 2);
    EXPECT_EQ(result, kUpdateSucceededText);
    EXPECT_GT(model->RequestCount(), ChunkCount);
    // The backup is named after the device that was bound, not a new row.
    const std::vector<std::string> backups = FilesIn(rig.backupFolder);
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_TRUE(std::regex_match(backups[0], std::regex("0abc-0010-[0-9a-f]{16}-.*")))
        << backups[0];
    EXPECT_EQ(dlg->Devices().Selection(), 0);
}

TEST_F(StartUpdateTest, AFailingDeviceEndsInDarkRedAndTheDialogStaysUsable) {
    rig.WriteStandardCatalogue({firmwarePath});
    sim::FaultPlan faults;
    faults.failAt = testing::ReadBackRequests(testing::SampleDeviceFlash()) + 3;  // the third write
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
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2], Entry(kEventUpdateFailed));
    // The entry after it says what failed, and where: the node and the unit.
    EXPECT_EQ(entries.back().text.rfind(std::string(kDevicePath) + " (unit ", 0), 0u)
        << entries.back().text;
    EXPECT_NE(entries.back().text.find(", serial unknown): writing failed at"), std::string::npos)
        << entries.back().text;
    EXPECT_EQ(dlg->FirmwareLength(), 0u);
    EXPECT_TRUE(dlg->StartUpdateButton()->isEnabled());
}

// Before anything is written, the device's old flash is kept as a new file
// in the chosen folder. A folder that cannot be had ends the update before
// the device is read: the user is told why in a box, and the window shows
// the failure with the texts and entries it always has.
TEST_F(StartUpdateTest, TheOldFlashIsKeptBeforeAnythingIsWritten) {
    struct Case {
        const char* name;
        std::function<std::string(TestRig&)> folder;
        bool kept;
    };
    const Case cases[] = {
        {"missing folders are made", [](TestRig& r) { return r.dir.File("a/b/backups"); }, true},
        {"existing folder with an older backup",
         [](TestRig& r) {
             const std::string folder = r.dir.File("old");
             ::mkdir(folder.c_str(), 0700);
             r.dir.Write("old/0abc-0010-bus001-dev001-20200101T000000Z.bin", std::string("x"));
             return folder;
         },
         true},
        {"folder is a file", [](TestRig& r) { return r.dir.Write("taken", std::string("x")); },
         false},
        {"folder beneath a file",
         [](TestRig& r) { return r.dir.Write("taken", std::string("x")) + "/backups"; }, false},
        {"no folder", [](TestRig&) { return std::string(); }, false},
    };
    const std::regex backupName("0abc-0010-[0-9a-f]{16}-[0-9]{8}T[0-9]{6}Z\\.bin");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestRig r;
        r.WriteStandardCatalogue({firmwarePath});
        r.backupFolder = c.folder(r);
        const std::vector<std::string> earlier = FilesIn(r.backupFolder);
        auto model = r.PlugModel(kDevicePath);
        const std::vector<std::uint8_t> before = model->Flash();
        auto dlg = Open(r);
        dlg->FirmwareList()->setCurrentIndex(0);
        result.clear();
        boxes.clear();
        entriesWhenBoxShown = 0;
        {
            const auto driver = Drive();
            QTest::mouseClick(dlg->StartUpdateButton(), Qt::LeftButton);
        }
        const std::shared_ptr<sim::InProcessChannel> channel = r.opener->LastChannel();
        ASSERT_NE(channel, nullptr);
        std::vector<std::string> added;
        for (const std::string& name : FilesIn(r.backupFolder)) {
            if (std::find(earlier.begin(), earlier.end(), name) == earlier.end()) {
                added.push_back(name);
            }
        }
        if (c.kept) {
            EXPECT_TRUE(boxes.empty());
            EXPECT_EQ(result, kUpdateSucceededText);
            EXPECT_GT(WritesSent(*channel), 0u);
            ASSERT_EQ(added.size(), 1u);
            EXPECT_TRUE(std::regex_match(added[0], backupName)) << added[0];
            EXPECT_TRUE(ReadAll(r.backupFolder + "/" + added[0]) == before);
            EXPECT_EQ(FilesIn(r.backupFolder).size(), earlier.size() + 1);
            struct stat st {};
            ASSERT_EQ(::stat(r.backupFolder.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 077, 0u) << "the folder is open to others";
            EXPECT_NE(model->Flash(), before);
        } else {
            EXPECT_EQ(result, kUpdateFailedText);
            EXPECT_EQ(resultColour, QColor(192, 0, 0));
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].text.rfind(kNoBackupText, 0), 0u) << boxes[0].text;
            EXPECT_EQ(boxes[0].title, kUpdateCaption);
            EXPECT_EQ(model->RequestCount(), 0u);
            EXPECT_TRUE(model->Flash() == before);
            EXPECT_TRUE(added.empty());
            // Started, failed, and why: all written by the time the box shows.
            EXPECT_EQ(entriesWhenBoxShown, 3u);
            EXPECT_TRUE(log.Drain().empty());
        }
        log.Drain();
        EXPECT_EQ(dlg->FirmwareLength(), 0u);
        EXPECT_TRUE(dlg->StartUpdateButton()->isEnabled());
    }
}

}  // namespace
}  // namespace sovra::ui
