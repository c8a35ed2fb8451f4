#include "update/update_progress.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace sovra {

const char* StageName(UpdateStage stage) {
    // A job not started yet shows the first stage.
    static constexpr const char* kNames[] = {"Stage 1 of 3", "Stage 1 of 3", "Stage 2 of 3",
                                             "Stage 3 of 3"};
    static_assert(std::size(kNames) == std::size_t(UpdateStage::kWrite) + 1);
    return kNames[static_cast<std::size_t>(stage)];
}

const char* OperationName(Operation operation) {
    // In the order of Operation.
    static constexpr const char* kNames[] = {
        "Initialize hardware", "Read firmware",  "Read flash again", "Parse firmware",
        "Copy image",          "Write firmware", "Verify firmware",  "Complete"};
    static_assert(std::size(kNames) == std::size_t(Operation::kComplete) + 1);
    return kNames[static_cast<std::size_t>(operation)];
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

template <typename F>
void UpdateProgress::Change(F&& change) {
    {
        const std::lock_guard lock(mu_);
        change();
    }
    if (notify_) {
        notify_();
    }
}

void UpdateProgress::SetPercent(int position) {
    state_.stagePercent = std::clamp(position, 0, kStageBarMax);
    stagePercent_.store(state_.stagePercent, std::memory_order_relaxed);
}

void UpdateProgress::BeginStage(UpdateStage stage) {
    Change([&] {
        state_.stage = stage;
        SetPercent(0);
    });
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
    Change([&] {
        notes_.push_back(std::move(note));
        state_.notes = notes_.size();
    });
}

void UpdateProgress::Finish(UpdateOutcome outcome) {
    Change([&] {
        outcome_ = std::move(outcome);
        state_.finished = true;
        finished_.store(true, std::memory_order_release);
    });
}

int UpdateProgress::StagePosition() const {
    // Only the worker moves the bar, and only the worker asks.
    return stagePercent_.load(std::memory_order_relaxed);
}

void UpdateProgress::AdvanceTo(int position) {
    Change([&] {
        SetPercent(position);
        state_.overallSteps = std::min(state_.overallSteps + 1, kOverallBarMax);
    });
}

void UpdateProgress::SetStagePosition(int position) {
    Change([&] { SetPercent(position); });
}

void UpdateProgress::SetOperation(Operation operation) {
    Change([&] { state_.operation = operation; });
}

void UpdateProgress::RestartStage(Operation operation) {
    Change([&] {
        state_.operation = operation;
        SetPercent(0);
    });
}

void UpdateProgress::CountRequests(std::uint32_t n) {
    requests_.fetch_add(n, std::memory_order_relaxed);
}

}  // namespace sovra
