#pragma once
// The state an update job publishes while it runs, for a front end to read
// whenever it likes, from any thread: the stage, the operation, the stage
// bar's percentage, the overall bar's steps, the requests answered, notes
// worth telling the user, and at the end the outcome. The job's worker is
// the only writer and never waits for a reader; a reader takes a copy
// under a lock held only for that copy.
//
// An optional notification tells a front end that something changed. The
// worker calls it after each change of the state (not for every request)
// and once more when the job has finished; it must return at once (post an
// event, set a flag), and may be called after the front end has stopped
// caring, but never after the worker has ended.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "flash/progress.h"
#include "update/update_outcome.h"

namespace sovra {

// The stages as the user sees them: "Stage N of 3".
enum class UpdateStage : std::uint8_t {
    kNotStarted = 0,
    kReadBack = 1,  // reading the flash back
    kBuild = 2,     // building the image (the merge, or taking a saved image)
    kWrite = 3,     // writing it, and reading it back to compare
};

// What both programs show of a stage and an operation: "Stage 2 of 3",
// "Parse firmware". A job not started yet shows the first stage.
const char* StageName(UpdateStage stage);
const char* OperationName(Operation operation);

// The stage bar's and the overall bar's scales.
inline constexpr int kStageBarMax = 100;
inline constexpr int kOverallBarMax = 300;

struct ProgressState {
    UpdateStage stage = UpdateStage::kNotStarted;
    Operation operation = Operation::kInitialize;
    int stagePercent = 0;  // 0 to 100, back to 0 when a stage (or the check) begins
    int overallSteps = 0;  // 0 to 300, one step per change of the stage bar
    std::uint64_t requestsDone = 0;
    std::uint64_t requestsExpected = 0;  // 0 until the job knows
    std::size_t notes = 0;               // notes published so far
    bool finished = false;
};

class UpdateProgress final : public StageProgress {
  public:
    using Notify = std::function<void()>;

    explicit UpdateProgress(Notify notify = {});

    // The reader's side, from any thread.
    ProgressState Snapshot() const;
    // Notes published from index `from` on (see ProgressState::notes).
    std::vector<std::string> NotesFrom(std::size_t from) const;
    // The outcome, once the job has finished.
    std::optional<UpdateOutcome> Outcome() const;
    // Whether the job has finished, without a copy of the state.
    bool Finished() const { return finished_.load(std::memory_order_acquire); }

    // The job's side, from its worker.
    void BeginStage(UpdateStage stage);
    void ExpectRequests(std::uint64_t requests);
    void Note(std::string note);
    // The last change: the outcome, and finished.
    void Finish(UpdateOutcome outcome);

    int StagePosition() const override;
    void AdvanceTo(int position) override;
    void SetStagePosition(int position) override;
    void SetOperation(Operation operation) override;
    void RestartStage(Operation operation) override;
    void CountRequests(std::uint32_t n) override;
    void ExpectMoreRequests(std::uint64_t n) override;

  private:
    // Applies `change` to the state under the lock, then tells the front end.
    template <typename F>
    void Change(F&& change);
    // The stage bar's position, under the lock.
    void SetPercent(int position);

    Notify notify_;
    mutable std::mutex mu_;
    ProgressState state_;
    // Counted on every request, and read back at every chunk: kept out of
    // the lock, which is taken only when something a reader sees changes.
    std::atomic<std::uint64_t> requests_{0};
    std::atomic<int> stagePercent_{0};
    std::atomic<bool> finished_{false};
    std::vector<std::string> notes_;
    std::optional<UpdateOutcome> outcome_;
};

}  // namespace sovra
