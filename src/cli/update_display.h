#pragma once
// How `update` and `restore` show devices being updated: each device's
// worker drives a CliUpdateView, whose calls only record the state a window
// would show; the main thread draws every device's line from those records,
// redrawn in place on a terminal, or as plain lines when stderr is a file
// or a pipe.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "flash/flash_command.h"
#include "flash/update_view.h"

namespace sovra::cli {

// Counts the requests a device is given: the display's measure of progress
// across the three stages.
class CountingChannel final : public DeviceChannel {
  public:
    explicit CountingChannel(std::unique_ptr<DeviceChannel> inner) : inner_(std::move(inner)) {}
    Status Transfer(const FlashCommand& cmd, std::span<std::uint8_t> data) override {
        count_.fetch_add(1, std::memory_order_relaxed);
        return inner_->Transfer(cmd, data);
    }
    std::uint64_t Count() const { return count_.load(std::memory_order_relaxed); }

  private:
    std::unique_ptr<DeviceChannel> inner_;
    std::atomic<std::uint64_t> count_{0};
};

// Lets the display sleep between redraws and still wake as soon as an
// update has finished.
class FinishSignal {
  public:
    void Notify();
    // Waits until `count` updates have finished or `timeout` has passed;
    // true when they have.
    bool WaitFor(std::size_t count, std::chrono::milliseconds timeout);

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::size_t finished_ = 0;
};

class CliUpdateView final : public UpdateView {
  public:
    struct State {
        std::string stage = "Stage 1 of 3";
        std::string operation = "Initialize hardware";
        std::string message;
        std::vector<std::string> boxes;
        int stagePosition = 0;
        int overallPosition = 0;
        Colour colour = kWarningColour;
        bool finished = false;
    };

    explicit CliUpdateView(FinishSignal& signal) : signal_(signal) {}

    State Snapshot() const;

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
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}
    void StopTimer() override {}
    void SetTextColour(Colour colour) override;
    void SetMessageText(std::string_view text) override;
    void EnableClose() override;

  private:
    FinishSignal& signal_;
    mutable std::mutex mu_;
    State state_;
    int stageLow_ = 0, stageHigh_ = kStageBarMax;
    int overallHigh_ = kOverallBarMax, overallStep_ = 1;
};

// One device's line.
struct DisplayedDevice {
    std::string label;  // the device as the user named it, e.g. its path
    const CliUpdateView* view = nullptr;
    const CountingChannel* channel = nullptr;
    std::uint64_t expectedRequests = 1;
    std::chrono::steady_clock::time_point started;
};

class UpdateDisplay {
  public:
    // `width`: the terminal's columns (lines are cut to fit, so that a
    // redraw in place never wraps).
    UpdateDisplay(std::ostream& out, bool terminal, std::size_t width);

    void Add(DisplayedDevice device);
    // A line to show above the devices' lines, from any thread.
    void Note(std::string line);
    // Draws until every device's update has finished, then once more;
    // `between` runs before each redraw.
    void Run(FinishSignal& signal, const std::function<void()>& between = {});
    // Draws what has changed (the lines on a terminal; changes in plain mode).
    void Draw();

    // The line of one device at `now`, for a terminal.
    static std::string Line(const DisplayedDevice& device, const CliUpdateView::State& state,
                            std::uint64_t requests, std::chrono::steady_clock::time_point now);
    // Whole percent of the expected requests made; 100 only when finished.
    static int Percent(std::uint64_t requests, std::uint64_t expected, bool finished);

  private:
    std::ostream& out_;
    bool terminal_;
    std::size_t width_;
    std::vector<DisplayedDevice> devices_;
    std::size_t drawnLines_ = 0;
    // What plain mode last printed for each device.
    std::vector<std::string> lastPlain_;
    // When each device was first seen finished: its time stops there.
    std::vector<std::chrono::steady_clock::time_point> finishedAt_;
    std::mutex notesMu_;
    std::vector<std::string> notes_;
};

// "m:ss" (or "h:mm:ss").
std::string FormatDuration(std::chrono::steady_clock::duration d);

// The columns of the terminal on stderr; 80 when it cannot be told.
std::size_t StderrColumns();

}  // namespace sovra::cli
