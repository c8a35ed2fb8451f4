#pragma once
// The window an update runs in. It starts the update's worker when it is
// initialised and shows what the worker tells it: two bars, two animated
// labels (the text, then 0 to 14 spaces, then "..."), and the message,
// first the warning in red, at the end the result in green or dark red.
// CLOSE, and with it Esc and the close box, stays without effect until the
// worker has made its last call to the window.
//
// The worker's calls arrive on its own thread; each is carried out on the
// user-interface thread while the worker waits, except the two texts the
// timer animates, which are handed over under a lock, and the stage bar's
// position, which is answered from what the bar was last set to.

#include <QDialog>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "flash/update_sequence.h"
#include "flash/update_view.h"
#include "ui/dialog_units.h"
#include "ui/platform.h"

class QPushButton;
class QTimerEvent;

namespace sovra::ui {

class UiCaller;

inline constexpr const char* kWriteProcessCaption = "Firmware update";
inline constexpr const char* kWritingWarningText =
    "Your beamformer is writing with new data. Do not disconnect USB or power cable - it will "
    "damage your beamformer. Procedure will take about 1 minute.";
inline constexpr const char* kInitialOperationText = "Initialize hardware";
inline constexpr int kAnimationPeriodMs = 100;
inline constexpr int kAnimationCycle = 15;

// The text an animated label shows after `tick` ticks.
std::string AnimatedText(const std::string& text, int tick);

class CWriteProcessDlg final : public QDialog, public UpdateView {
  public:
    explicit CWriteProcessDlg(QWidget* parent = nullptr,
                              UpdateWorker::ThreadStarter startThread = {});
    // Waits for the worker only once it has made its last call; the dialog
    // cannot be closed before.
    ~CWriteProcessDlg() override;

    // The update's device and firmware bytes. The dialog keeps its own
    // reference to the channel; the bytes stay the caller's and must
    // outlive the dialog.
    void SetContext(std::shared_ptr<DeviceChannel> channel, std::span<const std::uint8_t> image);
    UpdateContext& Context() { return context_; }

    int DoModal();
    // Texts, bars, timer and font, then the worker.
    void OnInitDialog();
    // One tick of the animation.
    void OnTimer();

    // The controls, by their ids.
    ProgressBar* OverallBar() const { return overall_; }       // 1004
    ProgressBar* StageBar() const { return stage_; }           // 1006
    StaticText* OperationLabel() const { return operation_; }  // 1005
    StaticText* StageLabel() const { return stageLabel_; }     // 1003
    QPushButton* CloseButton() const { return close_; }        // 2
    StaticText* MessageLabel() const { return message_; }      // 1002
    int TimerId() const { return timerId_; }
    int TickCount() const { return tickCount_; }
    // True once the worker has made its last call (CLOSE enabled).
    bool Finished() const { return finished_.load(); }
    // Requests of the worker carried out on the user-interface thread.
    std::size_t Crossings() const;
    // Times the user-interface thread was woken to carry them out.
    std::size_t Wakeups() const;

    // UpdateView, called by the worker.
    int StagePosition() override;
    void SetStagePosition(int position) override;
    void StepOverall() override;
    void AdvanceTo(int position) override;
    void SetOperationText(std::string_view text) override;
    void ShowOperationText(std::string_view text) override;
    void SetStageRange(int low, int high) override;
    void SetOverallRange(int low, int high) override;
    void SetOverallPosition(int position) override;
    void SetOverallStep(int step) override;
    int OverallPosition() override;
    void SetStageText(std::string_view text) override;
    void ShowMessageBox(std::string_view text, std::string_view caption) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    void StopTimer() override;
    void SetTextColour(Colour colour) override;
    void SetMessageText(std::string_view text) override;
    void EnableClose() override;

    // The dialog ends only once CLOSE is enabled: Esc, the close box and
    // Enter all come through here.
    void done(int result) override;

  protected:
    void timerEvent(QTimerEvent* event) override;

  private:
    void OnUi(const std::function<void()>& fn);

    DialogUnits units_;
    UiCaller* caller_ = nullptr;  // declared before the worker, so it outlives it
    UpdateWorker::ThreadStarter startThread_;

    ProgressBar* overall_ = nullptr;
    ProgressBar* stage_ = nullptr;
    StaticText* operation_ = nullptr;
    StaticText* stageLabel_ = nullptr;
    QPushButton* close_ = nullptr;
    StaticText* message_ = nullptr;

    int timerId_ = 0;
    int tickCount_ = 0;

    // Written by the worker, read by the timer.
    mutable std::mutex textMu_;
    std::string stageText_;
    std::string operationText_;

    // The stage bar's position as last set, for the worker's reads.
    std::atomic<int> stagePosition_{0};
    std::atomic<bool> finished_{false};
    int waitCursors_ = 0;

    UpdateContext context_;
    UpdateWorker worker_;
};

}  // namespace sovra::ui
