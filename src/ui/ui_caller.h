#pragma once
// Carries a request from another thread out on the user-interface thread,
// and returns once it has been carried out: the synchronous hand-over the
// update worker makes for every change to its window.
//
// The request and its completion pass through a std::mutex and a
// std::condition_variable, and the wake-up of the user-interface thread is
// a queued call by name that carries no data of ours. So every hand-over of
// our data happens through primitives a thread sanitizer can see, even with
// a Qt that is not built for it.

#include <QObject>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>

namespace sovra::ui {

class UiCaller final : public QObject {
    Q_OBJECT

  public:
    // Requests are carried out on the thread `parent` lives in (this
    // object's thread).
    explicit UiCaller(QObject* parent);
    ~UiCaller() override;

    // Runs `fn` on this object's thread and returns when it has run; an
    // exception it throws comes back to the caller. Called on that thread
    // itself it runs `fn` at once: waiting for oneself would never end.
    void Call(const std::function<void()>& fn);

    // Requests waiting to be carried out (for tests).
    std::size_t Pending() const;
    // Requests that crossed from another thread so far.
    std::size_t Crossings() const;

  private slots:
    void RunPending();

  private:
    struct Request {
        const std::function<void()>* fn = nullptr;
        std::exception_ptr error;
        bool done = false;
    };

    mutable std::mutex mu_;
    std::condition_variable doneCv_;
    std::deque<Request*> pending_;
    std::size_t crossings_ = 0;
};

}  // namespace sovra::ui
