#pragma once
// What the flash engine asks of the progress display while a stage runs:
// the stage bar (read and set), the overall bar (stepped), and the
// operation text. The update's view implements it; tests record it.

#include <string_view>

namespace sovra {

class StageProgress {
  public:
    virtual ~StageProgress() = default;
    // The position the stage bar shows now.
    virtual int StagePosition() = 0;
    virtual void SetStagePosition(int position) = 0;
    // Advances the overall bar by its step.
    virtual void StepOverall() = 0;
    // Both, as one request: a display on another thread can carry the pair
    // out in one round trip instead of two.
    virtual void AdvanceTo(int position) {
        SetStagePosition(position);
        StepOverall();
    }
    // The text the animation timer shows (with its moving dots).
    virtual void SetOperationText(std::string_view text) = 0;
    // Puts a text into the operation label at once, without the dots.
    virtual void ShowOperationText(std::string_view text) = 0;
};

// Sets the stage bar to p and steps the overall bar, only when p differs
// from what the bar shows: the one progress rule of every stage.
inline void AdvanceStage(StageProgress& progress, int p) {
    if (progress.StagePosition() != p) {
        progress.AdvanceTo(p);
    }
}

// A display that shows nothing, for callers without one.
class NullProgress final : public StageProgress {
  public:
    int StagePosition() override { return position_; }
    void SetStagePosition(int position) override { position_ = position; }
    void StepOverall() override {}
    void SetOperationText(std::string_view) override {}
    void ShowOperationText(std::string_view) override {}

  private:
    int position_ = 0;
};

}  // namespace sovra
