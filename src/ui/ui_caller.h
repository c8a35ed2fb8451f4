#pragma once
// Carries a request from another thread out on the user-interface thread,
// and returns once it has been carried out: the synchronous hand-over the
// update worker makes for every change to its window.
//
// The hand-over itself is cheap; what costs is putting a thread to sleep
// and waking it on another core, which happens twice per request when both
// sides block (the window's thread in its event loop, the caller on its
// condition variable). While an update runs the worker's requests come a
// few microseconds apart, so the two threads wait for each other actively
// for a moment first: the window's thread, once it has carried a request
// out, for the next one; a caller whose request finds that thread serving,
// for its answer. Such waits stop by themselves while they do not pay off
// (a machine with no core to spare, a device that takes milliseconds per
// request), and the window's thread serves for a bounded stretch only, so
// its timers, drawing and input never wait longer than that.
//
// The requests and their completion pass through a std::mutex, a
// std::condition_variable and atomics, and the wake-up of the
// user-interface thread is an event that carries no data of ours. So every
// hand-over of our data happens through primitives a thread sanitizer can
// see, even with a Qt that is not built for it.

#include <QObject>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>

namespace sovra::ui {

// How long each side of a hand-over waits actively before it blocks; zero
// turns that wait off.
struct HandOverTiming {
    // The caller, for the answer to its request from a user-interface
    // thread that is serving.
    std::chrono::microseconds answer{200};
    // The user-interface thread, for the next request of a caller that
    // spun for its answer.
    std::chrono::microseconds next{200};
    // The user-interface thread, for the next request of a caller it has
    // just woken: long enough for the wake-up (up to a millisecond on a
    // virtual machine whose other core idles), so the two meet again
    // without a sleep in between.
    std::chrono::microseconds rejoin{1000};
    // The longest the user-interface thread serves requests in one go
    // before its event loop runs again (plus the request it is carrying out
    // when the time is up).
    std::chrono::microseconds stretch{2000};
};

class UiCaller final : public QObject {
  public:
    // Requests are carried out on the thread `parent` lives in (this
    // object's thread).
    explicit UiCaller(QObject* parent, HandOverTiming timing = {});
    ~UiCaller() override;

    // Runs `fn` on this object's thread and returns when it has run; an
    // exception it throws comes back to the caller. Called on that thread
    // itself it runs `fn` at once: waiting for oneself would never end.
    void Call(const std::function<void()>& fn);

    // Requests waiting to be carried out (for tests).
    std::size_t Pending() const;
    // Requests that crossed from another thread so far.
    std::size_t Crossings() const;
    // Times the user-interface thread had to be woken through its event
    // loop to serve them.
    std::size_t Wakeups() const;
    // Active waits, on either side, that did not pay off.
    std::size_t FruitlessWaits() const;

  protected:
    // The wake-up: the only events this object is ever sent.
    void customEvent(QEvent* event) override;

  private:
    using Clock = std::chrono::steady_clock;

    struct Request {
        const std::function<void()>* fn = nullptr;
        // The caller went to sleep for the answer (guarded by mu_).
        bool asleep = false;
        std::exception_ptr error;
        std::atomic<bool> done{false};
    };

    void RunPending();
    // Takes the next request, waiting actively for one (until `end` at the
    // latest) when that has lately paid off; null when none came.
    Request* Next(Clock::time_point end);
    void Complete(Request& request, std::exception_ptr error);
    // Lets the event loop run again; wakes it up for requests left waiting.
    void StopServing();
    void PostWake();

    const HandOverTiming timing_;
    mutable std::mutex mu_;
    std::condition_variable doneCv_;
    std::deque<Request*> pending_;
    // pending_.size(), for the user-interface thread to watch without the
    // lock.
    std::atomic<std::size_t> queued_{0};
    // The user-interface thread is watching for requests: no wake-up needed.
    bool serving_ = false;
    // A wake-up event is on its way: another would only wake the thread
    // for nothing.
    bool wakePosted_ = false;
    std::size_t crossings_ = 0;
    std::size_t wakeups_ = 0;

    // When each side waits actively. A wait that found nothing, or lost its
    // core on the way (the machine has none to spare), turns that side's
    // active waits off for a while, four times as long each time, so a
    // machine where they do not pay off soon stops trying; each wait that
    // pays halves the next pause.
    class Backoff {
      public:
        bool ShouldSpin();
        void Record(bool paid);
        std::size_t Misses() const { return misses_.load(std::memory_order_relaxed); }

      private:
        static constexpr int kLongest = 256;
        std::atomic<int> skip_{0};
        std::atomic<int> penalty_{1};
        std::atomic<std::size_t> misses_{0};
    };
    Backoff answerWait_;  // callers' side
    Backoff nextWait_;    // the user-interface thread's side
    // On the user-interface thread: the caller of the request it last
    // carried out had gone to sleep.
    bool callerWoken_ = false;
};

}  // namespace sovra::ui
