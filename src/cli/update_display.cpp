#include "cli/update_display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace sovra::cli {

void FinishSignal::Notify() {
    {
        const std::lock_guard lock(mu_);
        ++finished_;
    }
    cv_.notify_all();
}

bool FinishSignal::WaitFor(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return finished_ >= count; });
}

CliUpdateView::State CliUpdateView::Snapshot() const {
    const std::lock_guard lock(mu_);
    return state_;
}

int CliUpdateView::StagePosition() {
    const std::lock_guard lock(mu_);
    return state_.stagePosition;
}

void CliUpdateView::SetStagePosition(int position) {
    const std::lock_guard lock(mu_);
    state_.stagePosition = std::clamp(position, stageLow_, stageHigh_);
}

void CliUpdateView::StepOverall() {
    const std::lock_guard lock(mu_);
    state_.overallPosition = std::min(state_.overallPosition + overallStep_, overallHigh_);
}

void CliUpdateView::AdvanceTo(int position) {
    const std::lock_guard lock(mu_);
    state_.stagePosition = std::clamp(position, stageLow_, stageHigh_);
    state_.overallPosition = std::min(state_.overallPosition + overallStep_, overallHigh_);
}

void CliUpdateView::SetOperationText(std::string_view text) {
    const std::lock_guard lock(mu_);
    state_.operation = text;
}

void CliUpdateView::ShowOperationText(std::string_view text) {
    const std::lock_guard lock(mu_);
    state_.operation = text;
}

void CliUpdateView::SetStageRange(int low, int high) {
    const std::lock_guard lock(mu_);
    stageLow_ = low;
    stageHigh_ = high;
    state_.stagePosition = std::clamp(state_.stagePosition, low, high);
}

void CliUpdateView::SetOverallRange(int, int high) {
    const std::lock_guard lock(mu_);
    overallHigh_ = high;
}

void CliUpdateView::SetOverallPosition(int position) {
    const std::lock_guard lock(mu_);
    state_.overallPosition = position;
}

void CliUpdateView::SetOverallStep(int step) {
    const std::lock_guard lock(mu_);
    overallStep_ = step;
}

int CliUpdateView::OverallPosition() {
    const std::lock_guard lock(mu_);
    return state_.overallPosition;
}

void CliUpdateView::SetStageText(std::string_view text) {
    const std::lock_guard lock(mu_);
    state_.stage = text;
}

void CliUpdateView::ShowMessageBox(std::string_view text, std::string_view) {
    const std::lock_guard lock(mu_);
    state_.boxes.emplace_back(text);
}

void CliUpdateView::SetTextColour(Colour colour) {
    const std::lock_guard lock(mu_);
    state_.colour = colour;
}

void CliUpdateView::SetMessageText(std::string_view text) {
    const std::lock_guard lock(mu_);
    state_.message = text;
}

void CliUpdateView::EnableClose() {
    {
        const std::lock_guard lock(mu_);
        state_.finished = true;
    }
    // The worker's last touch of this view: the display may now read the
    // result and the runner may let the view go.
    signal_.Notify();
}

UpdateDisplay::UpdateDisplay(std::ostream& out, bool terminal, std::size_t width)
    : out_(out), terminal_(terminal), width_(std::max<std::size_t>(width, 20)) {}

void UpdateDisplay::Add(DisplayedDevice device) {
    devices_.push_back(std::move(device));
    lastPlain_.emplace_back();
    finishedAt_.emplace_back();
}

void UpdateDisplay::Note(std::string line) {
    const std::lock_guard lock(notesMu_);
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

std::string UpdateDisplay::Line(const DisplayedDevice& device, const CliUpdateView::State& state,
                                std::uint64_t requests, std::chrono::steady_clock::time_point now) {
    const auto elapsed = now - device.started;
    std::string line = device.label + "  ";
    if (state.finished) {
        line += state.colour == kSuccessColour ? "done" : "FAILED";
        return line + "  " + FormatDuration(elapsed);
    }
    char operation[24];
    std::snprintf(operation, sizeof operation, "%-15s", state.operation.c_str());
    char percent[8];
    std::snprintf(percent, sizeof percent, "%4d%%",
                  Percent(requests, device.expectedRequests, false));
    line += state.stage + "  " + operation + percent + " " + FormatDuration(elapsed) + " elapsed";
    // An estimate from the first few requests would only jump about.
    if (requests >= 64 && requests < device.expectedRequests) {
        const auto left = elapsed * static_cast<long long>(device.expectedRequests - requests) /
                          static_cast<long long>(requests);
        line += ", " + FormatDuration(left) + " left";
    }
    return line;
}

void UpdateDisplay::Draw() {
    std::vector<std::string> notes;
    {
        const std::lock_guard lock(notesMu_);
        notes.swap(notes_);
    }
    const auto now = std::chrono::steady_clock::now();
    if (!terminal_) {
        for (const std::string& note : notes) {
            out_ << note << '\n';
        }
        for (std::size_t i = 0; i < devices_.size(); ++i) {
            const DisplayedDevice& d = devices_[i];
            const CliUpdateView::State s = d.view->Snapshot();
            if (s.finished) {
                continue;
            }
            const int tenth = Percent(d.channel->Count(), d.expectedRequests, false) / 10 * 10;
            const std::string line =
                d.label + ": " + s.stage + ", " + s.operation + ", " + std::to_string(tenth) + "%";
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
        const CliUpdateView::State s = d.view->Snapshot();
        if (s.finished && finishedAt_[i] == std::chrono::steady_clock::time_point{}) {
            finishedAt_[i] = now;
        }
        std::string line = Line(d, s, d.channel->Count(), s.finished ? finishedAt_[i] : now);
        if (line.size() >= width_) {
            line.resize(width_ - 1);
        }
        out_ << "\033[2K" << line << '\n';
    }
    drawnLines_ = devices_.size();
    out_.flush();
}

void UpdateDisplay::Run(FinishSignal& signal, const std::function<void()>& between) {
    // Plain mode prints only what changed, so it may look as often.
    const auto period = std::chrono::milliseconds(100);
    Draw();
    while (!signal.WaitFor(devices_.size(), period)) {
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
