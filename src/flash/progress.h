#pragma once
// What a stage of an update tells while it runs: which operation it is on,
// the stage bar's position (a percentage of the stage) with one step of the
// overall bar for each change of it, and the requests it has made. The
// stages only report; how any of it looks is up to whoever reads it.

#include <cstdint>

namespace sovra {

// The operation a stage is on, in the order an update meets them.
enum class Operation : std::uint8_t {
    kInitialize,  // nothing sent yet
    kReadFlash,   // Stage 1: the whole flash, read once
    kReadAgain,   // Stage 1, when the first read cannot vouch for itself
    kParse,       // Stage 2: the merge
    kCopy,        // Stage 2 of a restore: the saved image taken as it is
    kWrite,       // Stage 3
    kVerify,      // Stage 3, after writing: the written range read back
    kComplete,    // the stage (or the step) has ended
};

class StageProgress {
  public:
    virtual ~StageProgress() = default;
    // The stage bar's position now.
    virtual int StagePosition() const = 0;
    // Moves the stage bar to `position` and the overall bar one step on.
    virtual void AdvanceTo(int position) = 0;
    // Moves the stage bar alone (a pass whose steps the overall bar has
    // already counted, such as the check after writing).
    virtual void SetStagePosition(int position) = 0;
    virtual void SetOperation(Operation operation) = 0;
    // A new pass within the stage: the operation, with the stage bar back
    // at 0, as one change.
    virtual void RestartStage(Operation operation) = 0;
    // `n` more requests have been answered by the device.
    virtual void CountRequests(std::uint32_t n) = 0;
    // The stage has found it must make `n` requests more than foreseen.
    virtual void ExpectMoreRequests(std::uint64_t /*n*/) {}
};

// The one progress rule of every stage: the bar moves, and the overall bar
// steps, only when the stage's percentage changes.
inline void AdvanceStage(StageProgress& progress, int position) {
    if (progress.StagePosition() != position) {
        progress.AdvanceTo(position);
    }
}

// Reports to nobody, for callers that show no progress.
class NullProgress final : public StageProgress {
  public:
    int StagePosition() const override { return position_; }
    void AdvanceTo(int position) override { position_ = position; }
    void SetStagePosition(int position) override { position_ = position; }
    void SetOperation(Operation) override {}
    void RestartStage(Operation) override { position_ = 0; }
    void CountRequests(std::uint32_t) override {}

  private:
    int position_ = 0;
};

}  // namespace sovra
