// The progress dialog with its worker: the first look, the animation, CLOSE
// holding the window while the worker runs, and the result.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <QThread>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "flash/flash_command.h"
#include "flash/image_format.h"
#include "sim/in_process_channel.h"
#include "support/log_receiver.h"
#include "ui/ui_caller.h"
#include "ui/write_process_dlg.h"
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
    UpdateWorker::ThreadStarter Starter() {
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
    CWriteProcessDlg dlg(nullptr, gate.Starter());
    const auto release = qScopeGuard([&] { gate.Open(); });
    dlg.SetContext(std::make_shared<sim::InProcessChannel>(model), firmware);
    dlg.OnInitDialog();
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
    CWriteProcessDlg dlg(nullptr, gate.Starter());
    const auto release = qScopeGuard([&] { gate.Open(); });
    dlg.SetContext(std::make_shared<sim::InProcessChannel>(model), firmware);
    dlg.OnInitDialog();
    // What the worker hands over from its own thread reaches the next tick.
    std::thread([&] {
        dlg.SetStageText("Stage 2 of 3");
        dlg.SetOperationText("Parse firmware");
    }).join();

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
        EXPECT_EQ(dlg.OperationLabel()->text().toStdString(), "Parse firmware" + dots) << c.tick;
        EXPECT_EQ(dlg.StageLabel()->text().toStdString(), "Stage 2 of 3" + dots) << c.tick;
        EXPECT_EQ(dlg.TickCount(), c.tick);
    }
}

// While the worker runs nothing ends the dialog; once it is done, CLOSE,
// Esc and the close box each do.
TEST_F(ProgressDialogTest, CloseIsHeldUntilTheWorkerHasFinished) {
    struct Way {
        const char* name;
        std::function<void(CWriteProcessDlg*)> close;
    };
    const Way ways[] = {
        {"CLOSE", [](CWriteProcessDlg* d) { d->CloseButton()->click(); }},
        {"Esc", [](CWriteProcessDlg* d) { QTest::keyClick(d, Qt::Key_Escape); }},
        {"close box", [](CWriteProcessDlg* d) { d->close(); }},
    };
    for (const Way& way : ways) {
        Gate held;
        CWriteProcessDlg dlg(nullptr, held.Starter());
        const auto release = qScopeGuard([&] { held.Open(); });
        dlg.SetContext(std::make_shared<sim::InProcessChannel>(model), firmware);
        bool triedEarly = false;
        bool endedEarly = false;
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
                way.close(&dlg);
            }
        });
        dlg.DoModal();
        EXPECT_TRUE(triedEarly) << way.name;
        EXPECT_FALSE(endedEarly) << way.name;
        EXPECT_TRUE(dlg.Finished()) << way.name;
        EXPECT_EQ(dlg.MessageLabel()->text().toStdString(), kUpdateSucceededText) << way.name;
    }
}

TEST_F(ProgressDialogTest, ASuccessfulUpdateEndsGreenWithEveryEntryInOrder) {
    auto channel = std::make_shared<sim::InProcessChannel>(model);
    CWriteProcessDlg dlg;
    dlg.SetContext(channel, firmware);
    dlg.OnInitDialog();
    dlg.show();
    ASSERT_TRUE(testing::PumpUntil([&] { return dlg.Finished(); }));

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
    EXPECT_EQ(dlg.Context().result.status, S_OK);
    EXPECT_TRUE(dlg.Context().flashImage.empty());

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

// Failures end dark red with "Error updating device." and CLOSE enabled;
// the two refused starts also show their box.
TEST_F(ProgressDialogTest, FailuresEndDarkRed) {
    struct Case {
        const char* name;
        bool channel;
        bool bytes;
        sim::FaultPlan faults;
        const char* box;  // null: none
    };
    sim::FaultPlan stallAtTen;
    stallAtTen.failAt = 10;
    const Case cases[] = {
        {"no device", false, true, {}, "No working devices are connected to your system."},
        {"no bytes",
         true,
         false,
         {},
         "Error loading resources to update firmware.\n"
         " Your device will not be updated."},
        {"a read fails", true, true, stallAtTen, nullptr},
    };
    for (const Case& c : cases) {
        boxes.clear();
        log.Drain();
        auto faulty =
            std::make_shared<sim::BeamformerModel>(testing::SampleDeviceFlash(), c.faults);
        const std::vector<std::uint8_t> before = faulty->Flash();
        CWriteProcessDlg dlg;
        dlg.SetContext(
            c.channel ? std::make_shared<sim::InProcessChannel>(faulty) : nullptr,
            c.bytes ? std::span<const std::uint8_t>(firmware) : std::span<const std::uint8_t>());
        dlg.OnInitDialog();
        ASSERT_TRUE(testing::PumpUntil([&] { return dlg.Finished(); })) << c.name;
        EXPECT_TRUE(dlg.CloseButton()->isEnabled()) << c.name;
        EXPECT_EQ(dlg.MessageLabel()->text().toStdString(), kUpdateFailedText) << c.name;
        EXPECT_EQ(dlg.MessageLabel()->EffectiveTextColour(), kDarkRed) << c.name;
        EXPECT_EQ(dlg.TimerId(), 0) << c.name;
        if (c.box != nullptr) {
            ASSERT_EQ(boxes.size(), 1u) << c.name;
            EXPECT_EQ(boxes[0].text, c.box);
            EXPECT_EQ(boxes[0].title, "SovRa firmware update");
            EXPECT_EQ(boxes[0].icon, QMessageBox::Warning);
            EXPECT_TRUE(boxes[0].onlyOk);
        } else {
            EXPECT_TRUE(boxes.empty()) << c.name;
        }
        EXPECT_EQ(faulty->Flash(), before) << c.name;
        const std::vector<LogEntry> entries = log.Drain();
        ASSERT_FALSE(entries.empty());
        EXPECT_EQ(entries.front(), Entry(kEventUpdateStarted)) << c.name;
        EXPECT_EQ(entries.back(), Entry(kEventUpdateFailed)) << c.name;
    }
}

TEST_F(ProgressDialogTest, AWorkerThatCannotStartShowsTheFailureAndFreesClose) {
    CWriteProcessDlg dlg(nullptr, [](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    dlg.SetContext(std::make_shared<sim::InProcessChannel>(model), firmware);
    dlg.OnInitDialog();
    EXPECT_TRUE(dlg.Finished());
    EXPECT_TRUE(dlg.CloseButton()->isEnabled());
    EXPECT_EQ(dlg.TimerId(), 0);
    EXPECT_EQ(dlg.MessageLabel()->text().toStdString(), kUpdateFailedText);
    EXPECT_EQ(dlg.MessageLabel()->EffectiveTextColour(), kDarkRed);
    EXPECT_EQ(log.Drain(),
              (std::vector<LogEntry>{Entry(kEventUpdateStarted), Entry(kEventUpdateFailed)}));
    EXPECT_EQ(model->RequestCount(), 0u);
}

// A dialog that goes while its worker still runs (not reachable through the
// modal run, which CLOSE holds) first lets the worker finish its calls.
TEST_F(ProgressDialogTest, DestroyingEarlyWaitsForTheWorkersLastCall) {
    sim::FaultPlan stall;
    stall.failAt = 2000;
    auto slow = std::make_shared<sim::BeamformerModel>(testing::SampleDeviceFlash(), stall);
    {
        CWriteProcessDlg dlg;
        dlg.SetContext(std::make_shared<sim::InProcessChannel>(slow), firmware);
        dlg.OnInitDialog();
    }
    EXPECT_EQ(slow->RequestCount(), 2000u);
    EXPECT_EQ(log.Drain().back(), Entry(kEventUpdateFailed));
}

TEST(UiCallerTest, RunsOnTheUserInterfaceThreadAndReturnsWhenDone) {
    QObject owner;
    UiCaller caller(&owner);
    // From its own thread: at once, no queue.
    bool ran = false;
    caller.Call([&] { ran = true; });
    EXPECT_TRUE(ran);

    std::thread::id ranOn;
    int value = 0;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        caller.Call([&] {
            ranOn = std::this_thread::get_id();
            value = 42;
        });
        EXPECT_EQ(value, 42);
        try {
            caller.Call([] { throw std::runtime_error("refused"); });
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "refused");
        }
        returned = true;
    });
    ASSERT_TRUE(testing::PumpUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(caller.Pending(), 0u);
}

}  // namespace
}  // namespace sovra::ui
