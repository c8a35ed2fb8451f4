#include "cli/update_display.h"

#include "app/safe_text.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace sovra::cli {

void Wakeup::Notify() {
    {
        const std::lock_guard lock(mu_);
        ++pokes_;
    }
    cv_.notify_all();
}

bool Wakeup::WaitFor(std::chrono::milliseconds timeout, const std::function<bool()>& done) {
    if (done()) {
        return true;
    }
    std::unique_lock lock(mu_);
    const std::uint64_t seen = pokes_;
    cv_.wait_for(lock, timeout, [&] { return pokes_ != seen; });
    lock.unlock();
    return done();
}

UpdateDisplay::UpdateDisplay(std::ostream& out, bool terminal, std::size_t width)
    : out_(out), terminal_(terminal), width_(std::max<std::size_t>(width, 20)) {}

void UpdateDisplay::Add(DisplayedDevice device) {
    devices_.push_back(std::move(device));
    notesShown_.push_back(0);
    lastPlain_.emplace_back();
    finishedAt_.emplace_back();
}

void UpdateDisplay::Note(std::string line) {
    notes_.push_back(std::move(line));
}

int UpdateDisplay::Percent(std::uint64_t requests, std::uint64_t expected, bool finished) {
    if (finished) {
        return 100;
    }
    if (expected == 0) {
        return 0;
    }
    return static_cast<int>(std::min<std::uint64_t>(requests * 100 / expected, 99));
}

std::string FormatDuration(std::chrono::steady_clock::duration d) {
    const long long s =
        std::max<long long>(0, std::chrono::duration_cast<std::chrono::seconds>(d).count());
    char buf[32];
    if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
    }
    return buf;
}

std::string UpdateDisplay::Line(const DisplayedDevice& device, const ProgressState& state,
                                bool succeeded, std::chrono::steady_clock::time_point now) {
    const auto elapsed = now - device.started;
    std::string line = device.label + "  ";
    if (state.finished) {
        line += succeeded ? "done" : "FAILED";
        return line + "  " + FormatDuration(elapsed);
    }
    char operation[24];
    std::snprintf(operation, sizeof operation, "%-15s", OperationName(state.operation));
    char percent[8];
    std::snprintf(percent, sizeof percent, "%4d%%",
                  Percent(state.requestsDone, state.requestsExpected, false));
    line += std::string(StageName(state.stage)) + "  " + operation + percent + " " +
            FormatDuration(elapsed) + " elapsed";
    // An estimate from the first few requests would only jump about.
    if (state.requestsDone >= 64 && state.requestsDone < state.requestsExpected) {
        const auto left = elapsed *
                          static_cast<long long>(state.requestsExpected - state.requestsDone) /
                          static_cast<long long>(state.requestsDone);
        line += ", " + FormatDuration(left) + " left";
    }
    return line;
}

bool UpdateDisplay::AllFinished() const {
    return std::all_of(devices_.begin(), devices_.end(),
                       [](const DisplayedDevice& d) { return d.progress->Snapshot().finished; });
}

void UpdateDisplay::Draw() {
    std::vector<std::string> notes;
    notes.swap(notes_);
    std::vector<ProgressState> states;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        const DisplayedDevice& d = devices_[i];
        states.push_back(d.progress->Snapshot());
        for (std::string& note : d.progress->NotesFrom(notesShown_[i])) {
            notes.push_back(d.label + ": " + TerminalSafe(note));
            ++notesShown_[i];
        }
    }
    const auto now = std::chrono::steady_clock::now();
    if (!terminal_) {
        for (const std::string& note : notes) {
            out_ << note << '\n';
        }
        for (std::size_t i = 0; i < devices_.size(); ++i) {
            const ProgressState& s = states[i];
            // Between two steps the operation reads "Complete" for a moment:
            // not worth a line of its own in a log.
            if (s.finished || s.operation == Operation::kComplete) {
                continue;
            }
            const int tenth = Percent(s.requestsDone, s.requestsExpected, false) / 10 * 10;
            const std::string line = devices_[i].label + ": " + StageName(s.stage) + ", " +
                                     OperationName(s.operation) + ", " + std::to_string(tenth) +
                                     "%";
            if (line != lastPlain_[i]) {
                out_ << line << '\n';
                lastPlain_[i] = line;
            }
        }
        out_.flush();
        return;
    }
    // Back to the first device line, then notes, then every device line,
    // each cleared first.
    if (drawnLines_ > 0) {
        out_ << "\r\033[" << drawnLines_ << 'A';
    }
    for (const std::string& note : notes) {
        out_ << "\033[2K" << note << '\n';
    }
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        const DisplayedDevice& d = devices_[i];
        const ProgressState& s = states[i];
        bool succeeded = false;
        if (s.finished) {
            if (finishedAt_[i] == std::chrono::steady_clock::time_point{}) {
                finishedAt_[i] = now;
            }
            const auto outcome = d.progress->Outcome();
            succeeded = outcome && outcome->Succeeded();
        }
        std::string line = Line(d, s, succeeded, s.finished ? finishedAt_[i] : now);
        if (line.size() >= width_) {
            line.resize(width_ - 1);
        }
        out_ << "\033[2K" << line << '\n';
    }
    drawnLines_ = devices_.size();
    out_.flush();
}

void UpdateDisplay::Run(Wakeup& wakeup, const std::function<void()>& between) {
    // Plain mode prints only what changed, so it may look as often.
    const auto period = std::chrono::milliseconds(100);
    Draw();
    while (!wakeup.WaitFor(period, [this] { return AllFinished(); })) {
        if (between) {
            between();
        }
        Draw();
    }
    Draw();
}

std::size_t StderrColumns() {
    winsize ws{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
        return ws.ws_col;
    }
    return 80;
}

}  // namespace sovra::cli
