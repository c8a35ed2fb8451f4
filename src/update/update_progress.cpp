#include "update/update_progress.h"

#include <algorithm>
#include <utility>

namespace sovra {

const char* StageName(UpdateStage stage) {
    switch (stage) {
        case UpdateStage::kNotStarted:
        case UpdateStage::kReadBack:
            return "Stage 1 of 3";
        case UpdateStage::kBuild:
            return "Stage 2 of 3";
        case UpdateStage::kWrite:
            return "Stage 3 of 3";
    }
    return "";
}

const char* OperationName(Operation operation) {
    switch (operation) {
        case Operation::kInitialize:
            return "Initialize hardware";
        case Operation::kReadFlash:
            return "Read firmware";
        case Operation::kReadAgain:
            return "Read flash again";
        case Operation::kParse:
            return "Parse firmware";
        case Operation::kCopy:
            return "Copy image";
        case Operation::kWrite:
            return "Write firmware";
        case Operation::kVerify:
            return "Verify firmware";
        case Operation::kComplete:
            return "Complete";
    }
    return "";
}

UpdateProgress::UpdateProgress(Notify notify) : notify_(std::move(notify)) {}

ProgressState UpdateProgress::Snapshot() const {
    const std::lock_guard lock(mu_);
    ProgressState state = state_;
    state.requestsDone = requests_.load(std::memory_order_relaxed);
    return state;
}

std::vector<std::string> UpdateProgress::NotesFrom(std::size_t from) const {
    const std::lock_guard lock(mu_);
    if (from >= notes_.size()) {
        return {};
    }
    return {notes_.begin() + static_cast<std::ptrdiff_t>(from), notes_.end()};
}

std::optional<UpdateOutcome> UpdateProgress::Outcome() const {
    const std::lock_guard lock(mu_);
    return outcome_;
}

void UpdateProgress::Changed() {
    if (notify_) {
        notify_();
    }
}

void UpdateProgress::BeginStage(UpdateStage stage) {
    {
        const std::lock_guard lock(mu_);
        state_.stage = stage;
        state_.stagePercent = 0;
        stagePercent_.store(0, std::memory_order_relaxed);
    }
    Changed();
}

void UpdateProgress::ExpectRequests(std::uint64_t requests) {
    const std::lock_guard lock(mu_);
    state_.requestsExpected = requests;
}

void UpdateProgress::ExpectMoreRequests(std::uint64_t n) {
    const std::lock_guard lock(mu_);
    state_.requestsExpected += n;
}

void UpdateProgress::Note(std::string note) {
    {
        const std::lock_guard lock(mu_);
        notes_.push_back(std::move(note));
        state_.notes = notes_.size();
    }
    Changed();
}

void UpdateProgress::Finish(UpdateOutcome outcome) {
    {
        const std::lock_guard lock(mu_);
        outcome_ = std::move(outcome);
        state_.finished = true;
        finished_.store(true, std::memory_order_release);
    }
    Changed();
}

int UpdateProgress::StagePosition() const {
    // Only the worker moves the bar, and only the worker asks.
    return stagePercent_.load(std::memory_order_relaxed);
}

void UpdateProgress::AdvanceTo(int position) {
    {
        const std::lock_guard lock(mu_);
        state_.stagePercent = std::clamp(position, 0, kStageBarMax);
        stagePercent_.store(state_.stagePercent, std::memory_order_relaxed);
        state_.overallSteps = std::min(state_.overallSteps + 1, kOverallBarMax);
    }
    Changed();
}

void UpdateProgress::SetStagePosition(int position) {
    {
        const std::lock_guard lock(mu_);
        state_.stagePercent = std::clamp(position, 0, kStageBarMax);
        stagePercent_.store(state_.stagePercent, std::memory_order_relaxed);
    }
    Changed();
}

void UpdateProgress::SetOperation(Operation operation) {
    {
        const std::lock_guard lock(mu_);
        state_.operation = operation;
    }
    Changed();
}

void UpdateProgress::RestartStage(Operation operation) {
    {
        const std::lock_guard lock(mu_);
        state_.operation = operation;
        state_.stagePercent = 0;
        stagePercent_.store(0, std::memory_order_relaxed);
    }
    Changed();
}

void UpdateProgress::CountRequests(std::uint32_t n) {
    requests_.fetch_add(n, std::memory_order_relaxed);
}

}  // namespace sovra
