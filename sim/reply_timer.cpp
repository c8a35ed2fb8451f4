#include "sim/reply_timer.h"

namespace sovra::sim {

ReplyTimer::ReplyTimer() : thread_([this] { Run(); }) {}

ReplyTimer::~ReplyTimer() {
    Stop();
}

void ReplyTimer::Schedule(Clock::time_point due, Job job) {
    {
        std::lock_guard lock(mu_);
        if (!stopping_) {
            const auto it = queue_.emplace(std::pair(due, next_++), std::move(job)).first;
            if (it == queue_.begin()) {
                // The thread may be sleeping until a later job.
                cv_.notify_one();
            }
            return;
        }
    }
    job();
}

void ReplyTimer::Stop() {
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
    }
    cv_.notify_one();
    // A job that stops the timer cannot wait for its own thread; the thread
    // ends by itself once the queue is empty.
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

std::size_t ReplyTimer::Waiting() const {
    std::lock_guard lock(mu_);
    return queue_.size();
}

void ReplyTimer::Run() {
    std::unique_lock lock(mu_);
    for (;;) {
        cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;
        }
        const auto first = queue_.begin();
        if (!stopping_ && Clock::now() < first->first.first) {
            cv_.wait_until(lock, first->first.first);
            continue;
        }
        Job job = std::move(first->second);
        queue_.erase(first);
        lock.unlock();
        job();
        // What the job holds is let go of outside the lock.
        job = nullptr;
        lock.lock();
    }
}

}  // namespace sovra::sim
