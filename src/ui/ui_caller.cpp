#include "ui/ui_caller.h"

#include <sched.h>

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <algorithm>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace sovra::ui {
namespace {

QEvent::Type WakeEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

struct Spin {
    bool ready = false;
    // Ready, and without losing the core on the way: worth doing again.
    bool paid = false;
};

// A gap this long between two looks at the clock while spinning means the
// thread lost its core meanwhile (an interrupt takes far less): the machine
// has none to spare, even if the other thread was ready by then.
constexpr std::chrono::microseconds kLostCore{200};

// Waits actively until `ready()` or `limit` has passed. It never yields:
// handing the core over costs as much as the sleep it saves.
template <typename Ready>
Spin SpinUntil(Ready ready, std::chrono::microseconds limit) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point last = Clock::now();
    const Clock::time_point end = last + limit;
    bool lostCore = false;
    for (;;) {
        CpuRelax();
        if (ready()) {
            return {true, !lostCore};
        }
        const Clock::time_point now = Clock::now();
        lostCore = lostCore || now - last > kLostCore;
        if (now >= end) {
            return {false, false};
        }
        last = now;
    }
}

// Waiting actively for the other thread only pays while both can run at
// once; on a single core it would only keep the other from running.
HandOverTiming ForThisMachine(HandOverTiming timing) {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    const int usable = ::sched_getaffinity(0, sizeof cpus, &cpus) == 0
                           ? CPU_COUNT(&cpus)
                           : static_cast<int>(std::thread::hardware_concurrency());
    if (usable < 2) {
        timing.answer = std::chrono::microseconds{0};
        timing.next = std::chrono::microseconds{0};
        timing.rejoin = std::chrono::microseconds{0};
    }
    return timing;
}

}  // namespace

bool UiCaller::Backoff::ShouldSpin() {
    if (skip_.load(std::memory_order_relaxed) > 0) {
        skip_.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }
    return true;
}

void UiCaller::Backoff::Record(bool paid) {
    // Relaxed: only a guess of what will pay off, never a hand-over.
    const int penalty = penalty_.load(std::memory_order_relaxed);
    if (paid) {
        // One wait that paid off is not yet a machine with a core to spare.
        penalty_.store(std::max(penalty / 2, 1), std::memory_order_relaxed);
        return;
    }
    misses_.fetch_add(1, std::memory_order_relaxed);
    skip_.store(penalty, std::memory_order_relaxed);
    penalty_.store(std::min(penalty * 4, kLongest), std::memory_order_relaxed);
}

UiCaller::UiCaller(QObject* parent, HandOverTiming timing)
    : QObject(parent), timing_(ForThisMachine(timing)) {}

UiCaller::~UiCaller() = default;

void UiCaller::Call(const std::function<void()>& fn) {
    if (QThread::currentThread() == thread()) {
        fn();
        return;
    }
    Request request;
    request.fn = &fn;
    bool serving = false;
    bool wake = false;
    {
        const std::lock_guard<std::mutex> lock(mu_);
        pending_.push_back(&request);
        queued_.store(pending_.size(), std::memory_order_release);
        ++crossings_;
        serving = serving_;
        wake = !serving_ && !wakePosted_;
        wakePosted_ = wakePosted_ || wake;
    }
    if (wake) {
        PostWake();
    }
    const auto done = [&request] { return request.done.load(std::memory_order_acquire); };
    bool answered = done();
    // Only while the user-interface thread is serving: one that has to be
    // woken first is often woken onto this very core, and would wait for
    // this thread to stop spinning. It waits for this thread instead (see
    // Next()).
    if (!answered && serving && timing_.answer.count() > 0 && answerWait_.ShouldSpin()) {
        const Spin spin = SpinUntil(done, timing_.answer);
        answered = spin.ready;
        answerWait_.Record(spin.paid);
    }
    if (!answered) {
        std::unique_lock<std::mutex> lock(mu_);
        request.asleep = true;
        doneCv_.wait(lock, done);
    }
    if (request.error) {
        std::rethrow_exception(request.error);
    }
}

std::size_t UiCaller::Pending() const {
    const std::lock_guard<std::mutex> lock(mu_);
    return pending_.size();
}

std::size_t UiCaller::Crossings() const {
    const std::lock_guard<std::mutex> lock(mu_);
    return crossings_;
}

std::size_t UiCaller::Wakeups() const {
    const std::lock_guard<std::mutex> lock(mu_);
    return wakeups_;
}

std::size_t UiCaller::FruitlessWaits() const {
    return answerWait_.Misses() + nextWait_.Misses();
}

void UiCaller::customEvent(QEvent*) {
    // Only our wake-ups come here, and the event is not even looked at: it
    // was made on the caller's thread and handed over inside Qt, where a
    // thread sanitizer cannot see the hand-over.
    RunPending();
}

void UiCaller::PostWake() {
    // A bare event: it holds nothing of ours, only the wake-up.
    QCoreApplication::postEvent(this, new QEvent(WakeEventType()));
}

void UiCaller::RunPending() {
    {
        const std::lock_guard<std::mutex> lock(mu_);
        wakePosted_ = false;
        ++wakeups_;
    }
    const Clock::time_point end = Clock::now() + timing_.stretch;
    while (Request* request = Next(end)) {
        std::exception_ptr error;
        try {
            (*request->fn)();
        } catch (...) {
            error = std::current_exception();
        }
        Complete(*request, std::move(error));
        if (Clock::now() >= end) {
            // Timers, drawing and input have waited long enough.
            StopServing();
            return;
        }
    }
}

UiCaller::Request* UiCaller::Next(Clock::time_point end) {
    const auto queued = [this] { return queued_.load(std::memory_order_acquire) != 0; };
    // A caller this thread has just woken needs a wake-up's time before it
    // can ask again; one that spun for its answer asks at once. Neither
    // wait goes past the end of the stretch.
    const std::chrono::microseconds wait =
        std::min(callerWoken_ ? timing_.rejoin : timing_.next,
                 std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now()));
    if (!queued() && wait.count() > 0 && nextWait_.ShouldSpin()) {
        nextWait_.Record(SpinUntil(queued, wait).paid);
    }
    const std::lock_guard<std::mutex> lock(mu_);
    // While a request runs, a caller must post its wake-up: a request may
    // run an event loop of its own (a message box), which then serves it.
    serving_ = false;
    if (pending_.empty()) {
        return nullptr;
    }
    Request* request = pending_.front();
    pending_.pop_front();
    queued_.store(pending_.size(), std::memory_order_release);
    return request;
}

void UiCaller::Complete(Request& request, std::exception_ptr error) {
    // Notified under the lock: a caller that has gone to sleep cannot miss
    // it. Once `done` is set the caller may return and take the request off
    // its stack, so nothing here touches it after that. The exception is
    // moved, so no reference to it stays on this thread.
    const std::lock_guard<std::mutex> lock(mu_);
    callerWoken_ = request.asleep;
    request.error = std::move(error);
    request.done.store(true, std::memory_order_release);
    // Until Next() gives up, requests need no wake-up.
    serving_ = true;
    doneCv_.notify_all();
}

void UiCaller::StopServing() {
    bool wake = false;
    {
        const std::lock_guard<std::mutex> lock(mu_);
        serving_ = false;
        wake = !pending_.empty() && !wakePosted_;
        wakePosted_ = wakePosted_ || wake;
    }
    if (wake) {
        PostWake();
    }
}

}  // namespace sovra::ui
