#pragma once
// An UpdateView that behaves as a window's does: it owns a "user-interface"
// thread, and every change is handed to that thread (a one-slot queue
// between two semaphores), which carries it out on the inner view while the
// caller waits. The stage bar's position is
// answered from the position that thread last gave the bar, kept in an
// atomic, so the progress rule's question after every chunk costs no round
// trip. The inner view is only ever touched on the UI thread.

#include <atomic>
#include <functional>
#include <mutex>
#include <semaphore>
#include <string_view>
#include <thread>

#include "flash/update_view.h"

namespace sovra::testing {

class UiThreadView final : public UpdateView {
  public:
    explicit UiThreadView(UpdateView& inner) : inner_(inner) {
        ui_ = std::thread([this] { Loop(); });
        uiId_ = ui_.get_id();
    }
    ~UiThreadView() override {
        quit_.store(true);
        ready_.release();
        ui_.join();
    }
    UiThreadView(const UiThreadView&) = delete;
    UiThreadView& operator=(const UiThreadView&) = delete;

    // Round trips made so far.
    long Hops() const { return hops_.load(std::memory_order_relaxed); }
    std::thread::id UiThread() const { return uiId_; }

    int StagePosition() override { return stagePos_.load(std::memory_order_acquire); }
    void SetStagePosition(int p) override {
        OnUi([&] {
            inner_.SetStagePosition(p);
            stagePos_.store(inner_.StagePosition(), std::memory_order_release);
        });
    }
    void StepOverall() override {
        OnUi([&] { inner_.StepOverall(); });
    }
    void AdvanceTo(int p) override {
        OnUi([&] {
            inner_.AdvanceTo(p);
            stagePos_.store(inner_.StagePosition(), std::memory_order_release);
        });
    }
    void SetOperationText(std::string_view t) override {
        OnUi([&] { inner_.SetOperationText(t); });
    }
    void ShowOperationText(std::string_view t) override {
        OnUi([&] { inner_.ShowOperationText(t); });
    }
    void SetStageRange(int low, int high) override {
        OnUi([&] {
            inner_.SetStageRange(low, high);
            stagePos_.store(inner_.StagePosition(), std::memory_order_release);
        });
    }
    void SetOverallRange(int low, int high) override {
        OnUi([&] { inner_.SetOverallRange(low, high); });
    }
    void SetOverallPosition(int p) override {
        OnUi([&] { inner_.SetOverallPosition(p); });
    }
    void SetOverallStep(int step) override {
        OnUi([&] { inner_.SetOverallStep(step); });
    }
    int OverallPosition() override {
        int p = 0;
        OnUi([&] { p = inner_.OverallPosition(); });
        return p;
    }
    void SetStageText(std::string_view t) override {
        OnUi([&] { inner_.SetStageText(t); });
    }
    void ShowMessageBox(std::string_view t, std::string_view caption) override {
        OnUi([&] { inner_.ShowMessageBox(t, caption); });
    }
    void BeginWaitCursor() override {
        OnUi([&] { inner_.BeginWaitCursor(); });
    }
    void EndWaitCursor() override {
        OnUi([&] { inner_.EndWaitCursor(); });
    }
    void StopTimer() override {
        OnUi([&] { inner_.StopTimer(); });
    }
    void SetTextColour(Colour c) override {
        OnUi([&] { inner_.SetTextColour(c); });
    }
    void SetMessageText(std::string_view t) override {
        OnUi([&] { inner_.SetMessageText(t); });
    }
    void EnableClose() override {
        OnUi([&] { inner_.EnableClose(); });
    }

  private:
    template <typename F>
    void OnUi(F&& f) {
        if (std::this_thread::get_id() == uiId_) {
            f();  // waiting for ourselves would never end
            return;
        }
        // One caller at a time, as a window serves one worker.
        const std::lock_guard lock(callMu_);
        std::function<void()> task(std::forward<F>(f));
        task_ = &task;
        ready_.release();
        done_.acquire();
        hops_.fetch_add(1, std::memory_order_relaxed);
    }

    void Loop() {
        for (;;) {
            ready_.acquire();
            if (quit_.load()) {
                return;
            }
            (*task_)();
            done_.release();
        }
    }

    UpdateView& inner_;
    std::thread ui_;
    std::thread::id uiId_;
    std::mutex callMu_;
    // The task in hand; the semaphores order every access to it.
    std::function<void()>* task_ = nullptr;
    std::binary_semaphore ready_{0};
    std::binary_semaphore done_{0};
    std::atomic<bool> quit_{false};
    // Both bars of a fresh window stand at 0.
    std::atomic<int> stagePos_{0};
    std::atomic<long> hops_{0};
};

}  // namespace sovra::testing
