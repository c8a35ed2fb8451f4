#pragma once
// How `update` and `restore` show devices being updated: the main thread
// reads each job's published progress and draws one line per device,
// redrawn in place on a terminal, or plain lines when stderr is a file or a
// pipe. Notes a job publishes (where its backup went, warnings) are shown
// above the lines as they come.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "update/update_progress.h"

namespace sovra::cli {

// Wakes the display as soon as a job has finished, instead of at its next
// redraw. Notify never blocks for long: it only takes the lock to count.
class Wakeup {
  public:
    void Notify();
    // Waits until `done` is true or `timeout` has passed; true when done.
    bool WaitFor(std::chrono::milliseconds timeout, const std::function<bool()>& done);

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::uint64_t pokes_ = 0;
};

// One device's line.
struct DisplayedDevice {
    std::string label;  // the device as the user named it, e.g. its path
    const UpdateProgress* progress = nullptr;
    std::chrono::steady_clock::time_point started;
};

class UpdateDisplay {
  public:
    // `width`: the terminal's columns (lines are cut to fit, so that a
    // redraw in place never wraps).
    UpdateDisplay(std::ostream& out, bool terminal, std::size_t width);

    void Add(DisplayedDevice device);
    // A line to show above the devices' lines.
    void Note(std::string line);
    // Draws until every device's job has finished, then once more;
    // `between` runs before each redraw.
    void Run(Wakeup& wakeup, const std::function<void()>& between = {});
    // Draws what has changed (the lines on a terminal; changes in plain mode).
    void Draw();

    // The line of one device at `now`, for a terminal.
    static std::string Line(const DisplayedDevice& device, const ProgressState& state,
                            bool succeeded, std::chrono::steady_clock::time_point now);
    // Whole percent of the expected requests made; 100 only when finished.
    static int Percent(std::uint64_t requests, std::uint64_t expected, bool finished);

  private:
    bool AllFinished() const;

    std::ostream& out_;
    bool terminal_;
    std::size_t width_;
    std::vector<DisplayedDevice> devices_;
    std::size_t drawnLines_ = 0;
    std::vector<std::string> notes_;
    // Per device: notes shown so far, what plain mode last printed, and
    // when it was first seen finished (its time stops there).
    std::vector<std::size_t> notesShown_;
    std::vector<std::string> lastPlain_;
    std::vector<std::chrono::steady_clock::time_point> finishedAt_;
};

// "m:ss" (or "h:mm:ss").
std::string FormatDuration(std::chrono::steady_clock::duration d);

// The columns of the terminal on stderr; 80 when it cannot be told.
std::size_t StderrColumns();

}  // namespace sovra::cli
