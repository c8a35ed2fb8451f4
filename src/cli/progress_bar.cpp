#include "cli/progress_bar.h"

#include <unistd.h>

#include <algorithm>

namespace sovra::cli {
namespace {

constexpr int kBarWidth = 40;

}  // namespace

ProgressBar::ProgressBar(std::ostream& out, bool terminal, std::string label)
    : out_(out), terminal_(terminal), label_(std::move(label)) {}

ProgressBar::~ProgressBar() {
    Finish();
}

void ProgressBar::Update(std::uint64_t done, std::uint64_t total) {
    if (total == 0) {
        return;
    }
    const int percent = static_cast<int>(std::min(done, total) * 100 / total);
    if (terminal_) {
        if (percent == shown_) {
            return;
        }
        shown_ = percent;
        const int filled = percent * kBarWidth / 100;
        out_ << '\r' << label_ << " [" << std::string(static_cast<std::size_t>(filled), '#')
             << std::string(static_cast<std::size_t>(kBarWidth - filled), '.') << "] " << percent
             << '%' << std::flush;
        open_ = true;
        return;
    }
    const int tenth = percent / 10;
    if (tenth == shown_) {
        return;
    }
    shown_ = tenth;
    out_ << label_ << ": " << tenth * 10 << "%\n" << std::flush;
}

void ProgressBar::Finish() {
    if (open_) {
        out_ << '\n' << std::flush;
        open_ = false;
    }
}

bool StderrIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

}  // namespace sovra::cli
