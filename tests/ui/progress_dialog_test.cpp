// The progress dialog with the update engine's job: the first look, the
// animation, CLOSE holding the window while the job runs, and the result.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <system_error>
#include <thread>

#include "flash/flash_command.h"
#include "flash/image_format.h"
#include "flash/sample_image.h"
#include "sim/in_process_channel.h"
#include "support/log_receiver.h"
#include "tests/support/read_back_requests.h"
#include "ui/main_window.h"
#include "ui/progress_dialog.h"
#include "ui_test_support.h"

namespace sovra::ui {
namespace {

using testing::Entry;
using testing::LogEntry;
using testing::LogReceiver;

// Holds the worker at its start until opened (at the latest when the gate
// goes), so a test can look at the dialog before anything happens.
class Gate {
  public:
    ~Gate() { Open(); }
    void Open() {
        const std::lock_guard<std::mutex> lock(mu_);
        open_ = true;
        cv_.notify_all();
    }
    UpdateRun::ThreadStarter Starter() {
        return [this](std::function<void()> body) {
            return std::thread([this, body = std::move(body)] {
                {
                    std::unique_lock<std::mutex> lock(mu_);
                    cv_.wait(lock, [this] { return open_; });
                }
                body();
            });
        };
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool open_ = false;
};

int CountPixels(QWidget* w, const QColor& colour) {
    const QImage image = w->grab().toImage();
    int n = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            n += image.pixelColor(x, y).rgb() == colour.rgb() ? 1 : 0;
        }
    }
    return n;
}

// A job for the dialog: the device behind `channel`, the firmware bytes,
// and no backup unless a folder is given.
UpdateJob Job(std::shared_ptr<DeviceChannel> channel, std::span<const std::uint8_t> firmware,
              BackupPolicy backup = BackupPolicy::None()) {
    UpdateJob job;
    job.channel = std::move(channel);
    job.device = {0xabc, 0x10, 0x102, "/dev/bus/usb/001/002"};
    job.imagePath = "bf100.img";
    job.image = firmware;
    job.options.backup = std::move(backup);
    return job;
}

const QColor kRed(255, 0, 0);
const QColor kGreen(0, 128, 0);
const QColor kDarkRed(192, 0, 0);

class ProgressDialogTest : public ::testing::Test {
  protected:
    // Message boxes seen, each dismissed with OK.
    std::vector<testing::SeenBox> boxes;
    testing::ModalDriver driver{[this](QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            boxes.push_back(testing::Describe(box));
            testing::Dismiss(box);
        }
    }};
    LogReceiver log;
    std::vector<std::uint8_t> firmware = testing::SampleFirmware();
    std::shared_ptr<sim::BeamformerModel> model =
        std::make_shared<sim::BeamformerModel>(testing::SampleDeviceFlash());
    Gate gate;
};

TEST_F(ProgressDialogTest, FirstLookBeforeTheWorkerDoesAnything) {
    ProgressDialog dlg(nullptr, gate.Starter());
    const auto release = qScopeGuard([&] { gate.Open(); });
    dlg.SetJob(Job(std::make_shared<sim::InProcessChannel>(model), firmware));
    dlg.Prepare();
    dlg.show();

    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Firmware update"));
    const DialogUnits u(DialogFont("MS Shell Dlg", 8));
    EXPECT_EQ(dlg.size(), u.Size(309, 176));
    struct Control {
        const char* name;
        QRect dlu;
    };
    for (const Control& c :
         {Control{"2", {252, 155, 50, 14}}, Control{"1002", {7, 17, 295, 52}},
          Control{"1003", {7, 81, 295, 18}}, Control{"1004", {7, 105, 295, 14}},
          Control{"1005", {7, 122, 295, 15}}, Control{"1006", {7, 139, 295, 14}}}) {
        auto* w = dlg.findChild<QWidget*>(QString::fromLatin1(c.name));
        ASSERT_NE(w, nullptr) << c.name;
        EXPECT_EQ(w->geometry(), u.Rect(c.dlu.x(), c.dlu.y(), c.dlu.width(), c.dlu.height()))
            << c.name;
    }

    EXPECT_EQ(dlg.StageLabel()->text(), QStringLiteral("Stage 1 of 3"));
    EXPECT_EQ(dlg.OperationLabel()->text(), QStringLiteral("Initialize hardware"));
    EXPECT_EQ(dlg.MessageLabel()->text().toStdString(), kWritingWarningText);
    EXPECT_EQ(dlg.CloseButton()->text(), QStringLiteral("CLOSE"));
    EXPECT_FALSE(dlg.CloseButton()->isEnabled());
    EXPECT_EQ(dlg.StageBar()->Pos(), 0);
    EXPECT_EQ(dlg.StageBar()->maximum(), 100);
    EXPECT_EQ(dlg.OverallBar()->Pos(), 0);
    EXPECT_EQ(dlg.OverallBar()->maximum(), 300);
    EXPECT_EQ(dlg.OverallBar()->Step(), 1);
    EXPECT_NE(dlg.TimerId(), 0);
    EXPECT_EQ(dlg.TickCount(), 0);
    for (StaticText* label : {dlg.OperationLabel(), dlg.StageLabel(), dlg.MessageLabel()}) {
        const QFontInfo info(label->font());
        EXPECT_TRUE(info.bold());
        EXPECT_EQ(info.family(), QStringLiteral("Liberation Sans"));
        EXPECT_EQ(info.pixelSize(), 16);
    }
    // Red for the warning only; the other labels in the default colour.
    EXPECT_EQ(dlg.MessageLabel()->EffectiveTextColour(), kRed);
    EXPECT_GT(CountPixels(dlg.MessageLabel(), kRed), 50);
    EXPECT_EQ(CountPixels(dlg.StageLabel(), kRed), 0);
    EXPECT_EQ(CountPixels(dlg.OperationLabel(), kRed), 0);
    EXPECT_EQ(log.Drain(), std::vector<LogEntry>{Entry(kEventUpdateStarted)});
}

TEST_F(ProgressDialogTest, EachTickShowsTheTextThenTickModFifteenSpacesThenDots) {
    ProgressDialog dlg(nullptr, gate.Starter());
    const auto release = qScopeGuard([&] { gate.Open(); });
    dlg.SetJob(Job(std::make_shared<sim::InProcessChannel>(model), firmware));
    dlg.Prepare();

    struct Case {
        int tick;
        int spaces;
    };
    int ticks = 0;
    for (const Case c : {Case{1, 1}, Case{14, 14}, Case{15, 0}, Case{16, 1}, Case{30, 0}}) {
        while (ticks < c.tick) {
            QTimerEvent tick(dlg.TimerId());
            QCoreApplication::sendEvent(&dlg, &tick);
            ++ticks;
        }
        const std::string dots = std::string(static_cast<std::size_t>(c.spaces), ' ') + "...";
        EXPECT_EQ(dlg.OperationLabel()->text().toStdString(), "Initialize hardware" + dots)
            << c.tick;
        EXPECT_EQ(dlg.StageLabel()->text().toStdString(), "Stage 1 of 3" + dots) << c.tick;
        EXPECT_EQ(dlg.TickCount(), c.tick);
    }
}

// Where a key goes: the widget with the keyboard focus, else the window.
QWidget* KeyTarget(ProgressDialog* d) {
    return d->focusWidget() != nullptr ? d->focusWidget() : d;
}

// While the worker runs nothing ends the dialog; once it is done, CLOSE,
// Esc, the close box and Enter (wherever the focus is) each do.
TEST_F(ProgressDialogTest, CloseIsHeldUntilTheWorkerHasFinished) {
    struct Way {
        const char* name;
        std::function<void(ProgressDialog*)> close;
        int result;  // the command that ended it
    };
    const Way ways[] = {
        {"CLOSE", [](ProgressDialog* d) { d->CloseButton()->click(); }, kIdCancel},
        {"Esc", [](ProgressDialog* d) { QTest::keyClick(d, Qt::Key_Escape); }, kIdCancel},
        {"close box", [](ProgressDialog* d) { d->close(); }, kIdCancel},
        // Enter is the OK command, but on a focused CLOSE, which it clicks.
        {"Enter", [](ProgressDialog* d) { QTest::keyClick(KeyTarget(d), Qt::Key_Return); }, kIdOk},
        {"keypad Enter",
         [](ProgressDialog* d) {
             QTest::keyClick(KeyTarget(d), Qt::Key_Enter, Qt::KeypadModifier);
         },
         kIdOk},
        {"Enter on CLOSE",
         [](ProgressDialog* d) {
             d->CloseButton()->setFocus();
             QTest::keyClick(KeyTarget(d), Qt::Key_Return);
         },
         kIdCancel},
    };
    for (const Way& way : ways) {
        Gate held;
        ProgressDialog dlg(nullptr, held.Starter());
        const auto release = qScopeGuard([&] { held.Open(); });
        dlg.SetJob(Job(std::make_shared<sim::InProcessChannel>(model), firmware));
        bool triedEarly = false;
        bool endedEarly = false;
        int triesAtEnd = 0;
        const testing::ModalDriver closer([&](QWidget* modal) {
            if (modal != &dlg) {
                return;
            }
            if (!triedEarly) {
                triedEarly = true;
                for (const Way& early : ways) {
                    early.close(&dlg);
                }
                QTest::keyClick(&dlg, Qt::Key_Return);
                dlg.accept();
                dlg.reject();
                endedEarly = !dlg.isVisible();
                held.Open();
            } else if (dlg.Finished()) {
                // Once; should the dialog still be there at the next pass,
                // CLOSE ends it so that the test can say so.
                if (++triesAtEnd == 1) {
                    way.close(&dlg);
                } else {
                    dlg.CloseButton()->click();
                }
            }
        });
        EXPECT_EQ(dlg.Run(), way.result) << way.name;
        EXPECT_EQ(triesAtEnd, 1) << way.name << " did not end the dialog";
        EXPECT_TRUE(triedEarly) << way.name;
        EXPECT_FALSE(endedEarly) << way.name;
        EXPECT_TRUE(dlg.Finished()) << way.name;
        EXPECT_EQ(dlg.MessageLabel()->text().toStdString(), kUpdateSucceededText) << way.name;
    }
}

TEST_F(ProgressDialogTest, ASuccessfulUpdateEndsGreenWithEveryEntryInOrder) {
    auto channel = std::make_shared<sim::InProcessChannel>(model);
    ProgressDialog dlg;
    dlg.SetJob(Job(channel, firmware));
    // Every position the bars are given, in order.
    std::vector<int> stage;
    std::vector<int> overall;
    QObject::connect(dlg.StageBar(), &QProgressBar::valueChanged,
                     [&](int v) { stage.push_back(v); });
    QObject::connect(dlg.OverallBar(), &QProgressBar::valueChanged,
                     [&](int v) { overall.push_back(v); });
    dlg.Prepare();
    dlg.show();
    ASSERT_TRUE(testing::PumpUntil([&] { return dlg.Finished(); }));

    // The overall bar only moves forward; the stage bar too, but for its
    // returns to 0 when a stage (or the check after writing) begins.
    EXPECT_TRUE(std::is_sorted(overall.begin(), overall.end()));
    for (std::size_t i = 1; i < stage.size(); ++i) {
        EXPECT_TRUE(stage[i] >= stage[i - 1] || stage[i] == 0) << i;
    }

    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(dlg.CloseButton()->isEnabled());
    EXPECT_EQ(dlg.MessageLabel()->text().toStdString(), kUpdateSucceededText);
    EXPECT_EQ(dlg.MessageLabel()->EffectiveTextColour(), kGreen);
    EXPECT_GT(CountPixels(dlg.MessageLabel(), kGreen), 50);
    EXPECT_EQ(CountPixels(dlg.StageLabel(), kGreen), 0);
    EXPECT_EQ(CountPixels(dlg.OperationLabel(), kGreen), 0);
    EXPECT_EQ(dlg.TimerId(), 0);
    EXPECT_EQ(dlg.TickCount(), 0);
    EXPECT_EQ(dlg.OperationLabel()->text(), QStringLiteral("Complete"));
    // Stage 3 leaves the stage bar at the share written before the last
    // chunk.
    const std::size_t chunks = (firmware.size() + ChunkSize - 1) / ChunkSize;
    EXPECT_EQ(dlg.StageBar()->Pos(), static_cast<int>(6400 * (chunks - 1) / firmware.size()));
    EXPECT_GT(dlg.OverallBar()->Pos(), 99 + 90);
    ASSERT_TRUE(dlg.Outcome().has_value());
    EXPECT_EQ(dlg.Outcome()->device, DeviceHolds::kNewImage);

    EXPECT_EQ(log.Drain(), (std::vector<LogEntry>{Entry(kEventUpdateStarted), Entry(kEventStage1),
                                                  Entry(kEventStage2), Entry(kEventStage3),
                                                  Entry(kEventFirmwareUpdated)}));
    // The device now holds a valid image of the file's length.
    const std::vector<std::uint8_t> flash = model->Flash();
    ImageLayout layout;
    EXPECT_EQ(ValidateImage(std::span<const std::uint8_t>(flash).first(firmware.size()), FlashSize,
                            layout),
              S_OK);
    EXPECT_EQ(layout.length(), firmware.size());
}

// A read-back whose checksum does not add up cannot vouch for itself: the
// flash is read again, and the window says so while it is.
TEST_F(ProgressDialogTest, ASecondReadOfTheFlashIsShownAsSuch) {
    std::vector<std::uint8_t> flash = testing::SampleDeviceFlash();
    flash[100] ^= 0x01;  // a data word of the first record
    model = std::make_shared<sim::BeamformerModel>(
        flash, sim::FaultPlan{.latency = std::chrono::microseconds(100)});
    ProgressDialog dlg;
    dlg.SetJob(Job(std::make_shared<sim::InProcessChannel>(model), firmware));
    bool shown = false;
    dlg.Prepare();
    dlg.show();
    ASSERT_TRUE(testing::PumpUntil([&] {
        shown = shown || dlg.OperationLabel()->text().startsWith("Read flash again");
        return dlg.Finished();
    }));
    EXPECT_TRUE(shown);
    EXPECT_EQ(dlg.MessageLabel()->text().toStdString(), kUpdateSucceededText);
}

// Failures end dark red with "Error updating device." and CLOSE enabled;
// the two refused starts also show their box.
TEST_F(ProgressDialogTest, FailuresEndDarkRed) {
    struct Case {
        const char* name;
        bool channel;
        bool bytes;
        sim::FaultPlan faults;
        std::string box;    // empty: none
        const char* title;  // of the box
        bool written;       // the device's flash was written
        BackupPolicy backup = BackupPolicy::None();
        bool fileWithoutDeviceInfo = false;
    };
    sim::FaultPlan stallAtTen;
    stallAtTen.failAt = 10;
    const testing::TempDir dir;
    const std::string noFolder = dir.File("a-file");
    std::ofstream(noFolder) << "x";
    const Case cases[] = {
        {"no device",
         false,
         true,
         {},
         "No working devices are connected to your system.",
         "SovRa firmware update",
         false},
        {"no bytes",
         true,
         false,
         {},
         "Error loading resources to update firmware.\n"
         " Your device will not be updated.",
         "SovRa firmware update",
         false},
        {"a read fails", true, true, stallAtTen, "", nullptr, false},
        {"no backup can be kept",
         true,
         true,
         {},
         "No backup of the device's flash could be kept, so nothing was written to the "
         "device.\nNo backup of the device's flash can be kept: cannot create the folder '" +
             noFolder + "/backups'",
         "SovRa firmware update",
         false,
         BackupPolicy::Folder(noFolder + "/backups")},
        {"a file that would erase the device's own block",
         true,
         true,
         {},
         kFirmwareFileInvalidText,
         "ERROR",
         false,
         BackupPolicy::None(),
         true},
        // The check after writing reads something else than was written.
        {"the check finds a difference",
         true,
         true,
         {.corruptAt = testing::ReadBackRequests(testing::SampleDeviceFlash()) +
                       (firmware.size() + 63) / 64 + 1},
         "",
         nullptr,
         true},
    };
    const std::vector<std::uint8_t> withoutDeviceInfo =
        MakeSampleImage({.deviceInfo = false, .seed = 7});
    for (const Case& c : cases) {
        boxes.clear();
        log.Drain();
        auto faulty =
            std::make_shared<sim::BeamformerModel>(testing::SampleDeviceFlash(), c.faults);
        const std::vector<std::uint8_t> before = faulty->Flash();
        ProgressDialog dlg;
        const std::span<const std::uint8_t> bytes =
            !c.bytes                  ? std::span<const std::uint8_t>()
            : c.fileWithoutDeviceInfo ? std::span<const std::uint8_t>(withoutDeviceInfo)
                                      : std::span<const std::uint8_t>(firmware);
        dlg.SetJob(Job(c.channel ? std::make_shared<sim::InProcessChannel>(faulty) : nullptr, bytes,
                       c.backup));
        dlg.Prepare();
        ASSERT_TRUE(testing::PumpUntil([&] { return dlg.Finished(); })) << c.name;
        EXPECT_TRUE(dlg.CloseButton()->isEnabled()) << c.name;
        EXPECT_EQ(dlg.MessageLabel()->text().toStdString(), kUpdateFailedText) << c.name;
        EXPECT_EQ(dlg.MessageLabel()->EffectiveTextColour(), kDarkRed) << c.name;
        EXPECT_EQ(dlg.TimerId(), 0) << c.name;
        if (!c.box.empty()) {
            ASSERT_EQ(boxes.size(), 1u) << c.name;
            EXPECT_EQ(boxes[0].text.rfind(c.box, 0), 0u) << c.name << ": " << boxes[0].text;
            EXPECT_EQ(boxes[0].title, c.title) << c.name;
            EXPECT_EQ(boxes[0].icon, std::string(c.title) == "ERROR" ? QMessageBox::Critical
                                                                     : QMessageBox::Warning);
            EXPECT_TRUE(boxes[0].onlyOk);
        } else {
            EXPECT_TRUE(boxes.empty()) << c.name;
        }
        EXPECT_EQ(faulty->Flash() == before, !c.written) << c.name;
        const std::vector<LogEntry> entries = log.Drain();
        ASSERT_GE(entries.size(), 3u);
        EXPECT_EQ(entries.front(), Entry(kEventUpdateStarted)) << c.name;
        if (c.fileWithoutDeviceInfo) {
            // The refusal of a firmware file, after its box was dismissed.
            EXPECT_EQ(entries.back(), Entry(kEventErrorReadingFirmwareFile)) << c.name;
        } else {
            EXPECT_EQ(entries[entries.size() - 2], Entry(kEventUpdateFailed)) << c.name;
        }
    }
}

TEST_F(ProgressDialogTest, AWorkerThatCannotStartShowsTheFailureAndFreesClose) {
    ProgressDialog dlg(nullptr, [](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    dlg.SetJob(Job(std::make_shared<sim::InProcessChannel>(model), firmware));
    dlg.Prepare();
    EXPECT_TRUE(dlg.Finished());
    EXPECT_TRUE(dlg.CloseButton()->isEnabled());
    EXPECT_EQ(dlg.TimerId(), 0);
    EXPECT_EQ(dlg.MessageLabel()->text().toStdString(), kUpdateFailedText);
    EXPECT_EQ(dlg.MessageLabel()->EffectiveTextColour(), kDarkRed);
    const std::vector<LogEntry> entries = log.Drain();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], Entry(kEventUpdateStarted));
    EXPECT_EQ(entries[1], Entry(kEventUpdateFailed));
    EXPECT_EQ(model->RequestCount(), 0u);
}

// A dialog that goes while its job still runs (not reachable through the
// modal run, which CLOSE holds) waits for the job's end.
TEST_F(ProgressDialogTest, DestroyingEarlyWaitsForTheWorkersLastCall) {
    sim::FaultPlan stall;
    stall.failAt = 2000;
    auto slow = std::make_shared<sim::BeamformerModel>(testing::SampleDeviceFlash(), stall);
    {
        ProgressDialog dlg;
        dlg.SetJob(Job(std::make_shared<sim::InProcessChannel>(slow), firmware));
        dlg.Prepare();
    }
    EXPECT_EQ(slow->RequestCount(), 2000u);
    const std::vector<LogEntry> entries = log.Drain();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2], Entry(kEventUpdateFailed));
}

}  // namespace
}  // namespace sovra::ui
