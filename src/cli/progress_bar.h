#pragma once
// Progress of a long device operation on stderr: a bar redrawn in place on
// a terminal, or one plain line per tenth when the output is a file or a
// pipe, so logs stay readable.

#include <cstdint>
#include <ostream>
#include <string>

namespace sovra::cli {

class ProgressBar {
  public:
    // `terminal`: whether `out` is a terminal (isatty on stderr).
    ProgressBar(std::ostream& out, bool terminal, std::string label);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // `done` of `total` units finished; draws only when the shown percentage
    // (terminal) or tenth (plain) changes.
    void Update(std::uint64_t done, std::uint64_t total);
    // Ends the bar's line so that what follows starts on a fresh one. Called
    // by the destructor too; harmless twice.
    void Finish();

  private:
    std::ostream& out_;
    bool terminal_;
    std::string label_;
    int shown_ = -1;
    bool open_ = false;
};

// Whether stderr is a terminal.
bool StderrIsTerminal();

}  // namespace sovra::cli
