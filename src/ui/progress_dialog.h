#pragma once
// The window an update runs in. It starts the update engine's job when it
// is prepared and shows what the job publishes: two bars, two animated
// labels (the text, then 0 to 14 spaces, then "..."), and the message,
// first the warning in red, at the end the result in green or dark red.
// CLOSE, and with it Esc and the close box, stays without effect until the
// job has ended and its result is shown.
//
// The job's worker never waits for this window: it publishes its state and
// posts a notification, at most one pending at a time. The window reads the
// state on its own thread, at each notification and at each animation tick.

#include <QDialog>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "ui/termination_guard.h"

#include "ui/dialog_units.h"
#include "ui/platform.h"
#include "update/update_engine.h"

class QKeyEvent;
class QPushButton;
class QTimerEvent;

namespace sovra::ui {

inline constexpr const char* kWriteProcessCaption = "Firmware update";
inline constexpr const char* kWritingWarningText =
    "Your beamformer is writing with new data. Do not disconnect USB or power cable - it will "
    "damage your beamformer. Procedure will take about 1 minute.";
inline constexpr const char* kUpdateSucceededText =
    "Your beamformer is successfully updated! To take effect of update please reconnect USB "
    "cable.";
inline constexpr const char* kUpdateFailedText = "Error updating device.";

// The message boxes of a job the engine refused to start, and of the
// refusals found once the device had been read.
inline constexpr const char* kUpdateCaption = "SovRa firmware update";
inline constexpr const char* kNoDeviceText = "No working devices are connected to your system.";
// The second line begins with a space, as it always has.
inline constexpr const char* kNoResourcesText =
    "Error loading resources to update firmware.\n Your device will not be updated.";
inline constexpr const char* kNoBackupText =
    "No backup of the device's flash could be kept, so nothing was written to the device.";

inline constexpr QColor kWarningColour(255, 0, 0);  // while an update runs
inline constexpr QColor kSuccessColour(0, 128, 0);
inline constexpr QColor kFailureColour(192, 0, 0);

inline constexpr int kAnimationPeriodMs = 100;
// The shortest time between two notifications of the job's progress: a
// bar is drawn once a frame anyway.
inline constexpr std::chrono::milliseconds kRefreshInterval{16};
inline constexpr int kAnimationCycle = 15;

// The text an animated label shows after `tick` ticks.
std::string AnimatedText(const std::string& text, int tick);

class ProgressDialog final : public QDialog {
    Q_OBJECT

  public:
    explicit ProgressDialog(QWidget* parent = nullptr, UpdateRun::ThreadStarter startThread = {});
    // The dialog cannot be closed before the job has ended; the worker has
    // then nothing left but to return, and is joined here.
    ~ProgressDialog() override;

    // The job to run: the device, the firmware's bytes (lent: they must
    // outlive the dialog) and the options.
    void SetJob(UpdateJob job) { job_ = std::move(job); }
    const UpdateJob& Job() const { return job_; }

    int Run();
    // Texts, bars, timer and font, then the job's worker.
    void Prepare();
    // One tick of the animation.
    void Animate();

    // The controls, by their ids.
    ProgressBar* OverallBar() const { return overall_; }       // 1004
    ProgressBar* StageBar() const { return stage_; }           // 1006
    StaticText* OperationLabel() const { return operation_; }  // 1005
    StaticText* StageLabel() const { return stageLabel_; }     // 1003
    QPushButton* CloseButton() const { return close_; }        // 2
    StaticText* MessageLabel() const { return message_; }      // 1002
    int TimerId() const { return timerId_; }
    int TickCount() const { return tickCount_; }
    // True once the result is shown and CLOSE enabled.
    bool Finished() const { return finished_; }
    // The job's outcome, once it has ended.
    std::optional<UpdateOutcome> Outcome() const { return progress_.Outcome(); }
    // How often the user-interface thread read the published state.
    std::size_t Refreshes() const { return refreshes_; }

    // The dialog ends only once CLOSE is enabled: Esc, the close box and
    // Enter all come through here.
    void done(int result) override;

    // Run by exit(). Qt's X11 platform calls exit() on the user-interface
    // thread when the display goes away (an X server gone, a logout), and a
    // device left partly written may no longer start: every open window's
    // update is let run to its end first, logging its end and its history
    // record. One still reading the flash is stopped, before any write.
    static void FinishUpdatesBeforeExit();

  protected:
    // Enter is the dialog's OK command even without an OK button: once the
    // update has ended it accepts the dialog. A focused CLOSE takes
    // Enter as its own click.
    void keyPressEvent(QKeyEvent* event) override;

    void timerEvent(QTimerEvent* event) override;

  signals:
    // The job has ended and its result is shown; CLOSE is enabled.
    void updateEnded();
    // Sent by the job's worker, delivered on the user-interface thread:
    // the published progress has changed.
    void progressPublished();

  private:
    // Reads the published state and shows it; at the job's end, the result.
    void Refresh();
    void ShowEnd(const UpdateOutcome& outcome);
    void StopTimer();

    DialogUnits units_;
    UpdateRun::ThreadStarter startThread_;

    ProgressBar* overall_ = nullptr;
    ProgressBar* stage_ = nullptr;
    StaticText* operation_ = nullptr;
    StaticText* stageLabel_ = nullptr;
    QPushButton* close_ = nullptr;
    StaticText* message_ = nullptr;

    int timerId_ = 0;
    int tickCount_ = 0;
    UpdateStage shownStage_ = UpdateStage::kNotStarted;
    Operation shownOperation_ = Operation::kInitialize;
    bool waitCursor_ = false;
    bool finished_ = false;
    bool ending_ = false;
    std::size_t refreshes_ = 0;

    UpdateJob job_;
    // Set when the program is about to end; the engine heeds it until it
    // begins writing.
    std::atomic<bool> cancel_{false};
    // Holds a logout's or a closed terminal's request to end the program
    // until the job has ended.
    std::optional<TerminationGuard::UpdateInProgress> holdingTermination_;
    // Set by the worker when it posts a notification, cleared by the
    // user-interface thread when it takes it: at most one is ever pending.
    std::atomic<bool> refreshPending_{false};
    // When the worker last posted one, in steady-clock ticks.
    std::atomic<std::chrono::steady_clock::rep> lastNotification_{0};
    UpdateProgress progress_;
    UpdateRun run_;
};

}  // namespace sovra::ui
