#pragma once
// An UpdateView for tests: models the controls the way progress bars and
// labels behave, and records every call in order. It also checks how it is
// used: every call from one thread, and none after EnableClose().

#include <algorithm>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "flash/update_view.h"
#include "tests/support/log_receiver.h"

namespace sovra::testing {

enum class ViewCall {
    kGetStagePosition,
    kSetStagePosition,
    kStepOverall,
    kOperationText,
    kShowOperationText,
    kStageRange,
    kOverallRange,
    kSetOverallPosition,
    kSetOverallStep,
    kGetOverallPosition,
    kStageText,
    kMessageBox,
    kBeginWaitCursor,
    kEndWaitCursor,
    kStopTimer,
    kTextColour,
    kMessageText,
    kEnableClose,
    kLogEntry,  // not a call: an entry the system log received meanwhile
};

struct RecordedCall {
    ViewCall what;
    int a = 0;  // position, low bound, step or colour
    int b = 0;  // high bound
    std::string text;
    std::string caption;
};

class RecordingView : public UpdateView {
  public:
    int StagePosition() override {
        Record(ViewCall::kGetStagePosition);
        return stagePos_;
    }
    void SetStagePosition(int p) override {
        Record(ViewCall::kSetStagePosition, p);
        stagePos_ = std::clamp(p, stageLow_, stageHigh_);
    }
    void StepOverall() override {
        Record(ViewCall::kStepOverall);
        overallPos_ = std::min(overallPos_ + overallStep_, overallHigh_);
    }
    void SetOperationText(std::string_view t) override {
        Record(ViewCall::kOperationText, 0, 0, std::string(t));
    }
    void ShowOperationText(std::string_view t) override {
        Record(ViewCall::kShowOperationText, 0, 0, std::string(t));
    }
    void SetStageRange(int low, int high) override {
        Record(ViewCall::kStageRange, low, high);
        stageLow_ = low;
        stageHigh_ = high;
        stagePos_ = std::clamp(stagePos_, low, high);
    }
    void SetOverallRange(int low, int high) override {
        Record(ViewCall::kOverallRange, low, high);
        overallHigh_ = high;
    }
    void SetOverallPosition(int p) override {
        Record(ViewCall::kSetOverallPosition, p);
        overallPos_ = p;
    }
    void SetOverallStep(int step) override {
        Record(ViewCall::kSetOverallStep, step);
        overallStep_ = step;
    }
    int OverallPosition() override {
        Record(ViewCall::kGetOverallPosition);
        return overallPos_;
    }
    void SetStageText(std::string_view t) override {
        Record(ViewCall::kStageText, 0, 0, std::string(t));
    }
    void ShowMessageBox(std::string_view t, std::string_view caption) override {
        Record(ViewCall::kMessageBox, 0, 0, std::string(t), std::string(caption));
    }
    void BeginWaitCursor() override { Record(ViewCall::kBeginWaitCursor); }
    void EndWaitCursor() override { Record(ViewCall::kEndWaitCursor); }
    void StopTimer() override { Record(ViewCall::kStopTimer); }
    void SetTextColour(Colour c) override { Record(ViewCall::kTextColour, static_cast<int>(c)); }
    void SetMessageText(std::string_view t) override {
        Record(ViewCall::kMessageText, 0, 0, std::string(t));
    }
    void EnableClose() override {
        Record(ViewCall::kEnableClose);
        closeEnabled_ = true;
    }

    // Puts the entries the log receives between calls into the record, so a
    // test sees them in their place among the calls.
    void InterleaveLog(LogReceiver* receiver) { log_ = receiver; }

    // Read these once the worker is done (after a join).
    const std::vector<RecordedCall>& Calls() {
        const std::lock_guard lock(mu_);
        TakeLog();
        return calls_;
    }
    std::vector<RecordedCall> CallsOf(ViewCall what) {
        const std::vector<RecordedCall>& calls = Calls();
        std::vector<RecordedCall> out;
        std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
                     [what](const RecordedCall& c) { return c.what == what; });
        return out;
    }
    int StageBar() const { return stagePos_; }
    int OverallBar() const { return overallPos_; }
    bool CloseEnabled() const { return closeEnabled_; }
    bool CalledFromOneThread() const { return oneThread_; }
    bool CalledAfterClose() const { return afterClose_; }
    std::thread::id CallingThread() const { return thread_; }

  private:
    void Record(ViewCall what, int a = 0, int b = 0, std::string text = {},
                std::string caption = {}) {
        const std::lock_guard lock(mu_);
        if (calls_.empty()) {
            thread_ = std::this_thread::get_id();
        } else if (thread_ != std::this_thread::get_id()) {
            oneThread_ = false;
        }
        if (closeEnabled_) {
            afterClose_ = true;
        }
        TakeLog();
        calls_.push_back({what, a, b, std::move(text), std::move(caption)});
    }

    void TakeLog() {
        if (log_ == nullptr) {
            return;
        }
        for (LogEntry& e : log_->Drain()) {
            calls_.push_back({ViewCall::kLogEntry, e.type, 0, std::move(e.text), {}});
        }
    }

    std::mutex mu_;
    LogReceiver* log_ = nullptr;
    std::vector<RecordedCall> calls_;
    std::thread::id thread_;
    bool oneThread_ = true;
    bool afterClose_ = false;
    bool closeEnabled_ = false;
    int stageLow_ = 0, stageHigh_ = 100, stagePos_ = 0;
    int overallHigh_ = 100, overallPos_ = 0, overallStep_ = 10;
};

}  // namespace sovra::testing
