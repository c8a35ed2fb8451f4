#include "ui/ui_caller.h"

#include <QMetaObject>
#include <QThread>

namespace sovra::ui {

UiCaller::UiCaller(QObject* parent) : QObject(parent) {}

UiCaller::~UiCaller() = default;

void UiCaller::Call(const std::function<void()>& fn) {
    if (QThread::currentThread() == thread()) {
        fn();
        return;
    }
    Request request;
    request.fn = &fn;
    {
        const std::lock_guard<std::mutex> lock(mu_);
        pending_.push_back(&request);
        ++crossings_;
    }
    // By name: the queued call then holds nothing of ours, only the wake-up.
    QMetaObject::invokeMethod(this, "RunPending", Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(mu_);
    doneCv_.wait(lock, [&request] { return request.done; });
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

void UiCaller::RunPending() {
    for (;;) {
        Request* request = nullptr;
        {
            const std::lock_guard<std::mutex> lock(mu_);
            if (pending_.empty()) {
                return;
            }
            request = pending_.front();
            pending_.pop_front();
        }
        std::exception_ptr error;
        try {
            (*request->fn)();
        } catch (...) {
            error = std::current_exception();
        }
        // Notified under the lock: the waiting thread cannot return, and
        // take the request off its stack, before we are done with it. The
        // exception is moved, so no reference to it stays on this thread.
        const std::lock_guard<std::mutex> lock(mu_);
        request->error = std::move(error);
        request->done = true;
        doneCv_.notify_all();
    }
}

}  // namespace sovra::ui
