#include "ui/progress_dialog.h"

#include <QKeyEvent>
#include <QPushButton>
#include <QTimerEvent>
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <vector>

#include "app/event_log.h"
#include "ui/main_window.h"

namespace sovra::ui {
namespace {

// The windows whose update has started and not been joined, for exit().
// At namespace scope, so they outlive every exit handler registered after
// the program has started.
std::mutex g_runningMutex;
std::condition_variable g_updateEnded;
std::vector<ProgressDialog*> g_running;
// Set once exit() has begun: the worker then no longer posts to a
// user-interface thread that will never take it.
std::atomic<bool> g_exiting{false};

QFont WriteProcessFont() {
    return DialogFont("MS Shell Dlg", 8);
}

// The labels' bold face: a character cell of 18 pixels.
QFont LabelFont() {
    return FontForCellHeight("Arial", 18, QFont::Bold);
}

}  // namespace

std::string AnimatedText(const std::string& text, int tick) {
    int n = tick % kAnimationCycle;
    if (n < 0) {
        n += kAnimationCycle;
    }
    return text + std::string(static_cast<std::size_t>(n), ' ') + "...";
}

ProgressDialog::ProgressDialog(QWidget* parent, UpdateRun::ThreadStarter startThread)
    : QDialog(parent, DialogWindowFlags()),
      units_(WriteProcessFont()),
      startThread_(std::move(startThread)),
      progress_([this] {
          // On the worker: post one notification unless one is pending, and
          // none more often than the bars can be drawn, but for the end,
          // which is shown at once (the animation tick catches up with what
          // is left out). The worker never waits here, and a busy window
          // never piles them up.
          const bool ending = progress_.Finished();
          if (ending) {
              const std::lock_guard lock(g_runningMutex);
              g_updateEnded.notify_all();
          }
          if (g_exiting.load()) {
              return;
          }
          const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
          if (!ending && now - lastNotification_.load(std::memory_order_relaxed) <
                             std::chrono::steady_clock::duration(kRefreshInterval).count()) {
              return;
          }
          if (!refreshPending_.exchange(true)) {
              lastNotification_.store(now, std::memory_order_relaxed);
              // A queued signal: the event carries nothing of ours across.
              emit progressPublished();
          }
      }) {
    setFont(WriteProcessFont());
    setWindowTitle(QString::fromLatin1(kWriteProcessCaption));
    setFixedSize(units_.Size(309, 176));
    setModal(true);

    close_ = MakeButton(this, 2, "CLOSE", units_.Rect(252, 155, 50, 14));
    close_->setEnabled(false);
    message_ = new StaticText(this, 1002);
    message_->setGeometry(units_.Rect(7, 17, 295, 52));
    stageLabel_ = new StaticText(this, 1003);
    stageLabel_->setGeometry(units_.Rect(7, 81, 295, 18));
    overall_ = new ProgressBar(this, 1004);
    overall_->setGeometry(units_.Rect(7, 105, 295, 14));
    overall_->setAccessibleName(QStringLiteral("Overall progress"));
    operation_ = new StaticText(this, 1005);
    operation_->setGeometry(units_.Rect(7, 122, 295, 15));
    stage_ = new ProgressBar(this, 1006);
    stage_->setGeometry(units_.Rect(7, 139, 295, 14));
    stage_->setAccessibleName(QStringLiteral("Stage progress"));
    for (StaticText* label : {message_, stageLabel_, operation_}) {
        label->setText(QStringLiteral("Static"));
    }
    message_->SetTextColour(kWarningColour);

    connect(close_, &QPushButton::clicked, this, &QDialog::reject);
    connect(
        this, &ProgressDialog::progressPublished, this,
        [this] {
            refreshPending_.store(false);
            Refresh();
        },
        Qt::QueuedConnection);
}

ProgressDialog::~ProgressDialog() {
    run_.Join();
    {
        const std::lock_guard lock(g_runningMutex);
        std::erase(g_running, this);
    }
    StopTimer();
    if (waitCursor_) {
        ui::EndWaitCursor();
    }
}

int ProgressDialog::Run() {
    Prepare();
    return exec();
}

void ProgressDialog::Prepare() {
    stageLabel_->setText(ToQString(StageName(shownStage_)));
    operation_->setText(ToQString(OperationName(shownOperation_)));
    message_->setText(QString::fromLatin1(kWritingWarningText));

    stage_->setRange(0, kStageBarMax);
    stage_->SetPos(0);
    overall_->setRange(0, kOverallBarMax);
    overall_->SetPos(0);

    timerId_ = startTimer(kAnimationPeriodMs);
    tickCount_ = 0;

    const QFont bold = LabelFont();
    for (StaticText* label : {operation_, stageLabel_, message_}) {
        label->setFont(bold);
    }

    ui::BeginWaitCursor();
    waitCursor_ = true;
    holdingTermination_.emplace();
    job_.options.cancel = &cancel_;
    {
        const std::lock_guard lock(g_runningMutex);
        g_running.push_back(this);
    }
    // Registered at every start, so that it runs before the exit handlers
    // of whatever the program set up before (exit() runs them newest first).
    std::atexit(&ProgressDialog::FinishUpdatesBeforeExit);
    // Writes "Firware update started." and starts the worker; when no thread
    // can be had the job ends at once and the notification shows it.
    if (!run_.Start(job_, progress_, startThread_)) {
        Refresh();
    }
}

void ProgressDialog::Animate() {
    tickCount_ = tickCount_ == std::numeric_limits<int>::max() ? 0 : tickCount_ + 1;
    Refresh();
    if (timerId_ == 0) {
        return;
    }
    operation_->setText(ToQString(AnimatedText(OperationName(shownOperation_), tickCount_)));
    stageLabel_->setText(ToQString(AnimatedText(StageName(shownStage_), tickCount_)));
}

void ProgressDialog::Refresh() {
    if (finished_ || ending_) {
        return;
    }
    ++refreshes_;
    const ProgressState state = progress_.Snapshot();
    shownStage_ = state.stage;
    if (state.operation != shownOperation_) {
        shownOperation_ = state.operation;
        // The end of a stage shows at once, without the moving dots.
        if (shownOperation_ == Operation::kComplete) {
            operation_->setText(ToQString(OperationName(shownOperation_)));
        }
    }
    stage_->SetPos(state.stagePercent);
    overall_->SetPos(state.overallSteps);
    if (state.finished) {
        if (const auto outcome = progress_.Outcome()) {
            ShowEnd(*outcome);
        }
    }
}

void ProgressDialog::StopTimer() {
    if (timerId_ != 0) {
        killTimer(timerId_);
    }
    timerId_ = 0;
    tickCount_ = 0;
}

void ProgressDialog::ShowEnd(const UpdateOutcome& outcome) {
    ending_ = true;
    if (waitCursor_) {
        ui::EndWaitCursor();
        waitCursor_ = false;
    }
    // A job that stops between two ticks has not shown its last stage and
    // operation yet: a failure names the ones it stopped in. A finished
    // stage reads "Complete", without the dots a tick may have added.
    const std::string operation = OperationName(shownOperation_);
    operation_->setText(ToQString(
        shownOperation_ == Operation::kComplete ? operation : AnimatedText(operation, tickCount_)));
    stageLabel_->setText(ToQString(AnimatedText(StageName(shownStage_), tickCount_)));
    StopTimer();
    // The engine's refusals that the user must hear of before the result.
    const Status s = outcome.error.Code();
    if (outcome.endedIn == UpdateStep::kPrecondition && s == E_NOINTERFACE) {
        ExclamationBox(this, kNoDeviceText, kUpdateCaption);
    } else if (outcome.endedIn == UpdateStep::kPrecondition && s == E_HANDLE) {
        ExclamationBox(this, kNoResourcesText, kUpdateCaption);
    } else if (s == E_BACKUP_FAILED) {
        // What failed, as a sentence of its own under the box's first line.
        ExclamationBox(this, std::string(kNoBackupText) + "\n" + outcome.error.Sentence(),
                       kUpdateCaption);
    } else if (s == E_FIRMWARE_NO_DEVICE_INFO) {
        // The firmware file is unfit for this device: refused as an invalid
        // firmware file is, though it could only be told once the device's
        // own block had been read. The file itself was read: the update's
        // failure entry is the log's last word.
        ErrorBox(this, kFirmwareFileInvalidText);
    }
    // The colour before the text, so the redraw the text causes uses it;
    // both before CLOSE, which lets the window go.
    const bool ok = outcome.Succeeded();
    message_->SetTextColour(ok ? kSuccessColour : kFailureColour);
    message_->setText(QString::fromLatin1(ok ? kUpdateSucceededText : kUpdateFailedText));
    close_->setEnabled(true);
    finished_ = true;
    // A request to end the program that came meanwhile is honoured now,
    // from the event loop.
    holdingTermination_.reset();
    emit updateEnded();
}

void ProgressDialog::FinishUpdatesBeforeExit() {
    std::unique_lock lock(g_runningMutex);
    g_exiting.store(true);
    for (ProgressDialog* dialog : g_running) {
        dialog->cancel_.store(true);
    }
    g_updateEnded.wait(lock, [] {
        return std::all_of(g_running.begin(), g_running.end(),
                           [](const ProgressDialog* d) { return d->progress_.Finished(); });
    });
}

void ProgressDialog::timerEvent(QTimerEvent* event) {
    if (timerId_ != 0 && event->timerId() == timerId_) {
        Animate();
        return;
    }
    QDialog::timerEvent(event);
}

void ProgressDialog::keyPressEvent(QKeyEvent* event) {
    const bool enter =
        (event->key() == Qt::Key_Return && event->modifiers() == Qt::NoModifier) ||
        (event->key() == Qt::Key_Enter &&
         (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier));
    if (enter) {
        // Not left to the default-button search, which would click the
        // cancel button; done() holds the dialog while the update runs.
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void ProgressDialog::done(int result) {
    if (!close_->isEnabled()) {
        return;
    }
    QDialog::done(result);
}

}  // namespace sovra::ui
