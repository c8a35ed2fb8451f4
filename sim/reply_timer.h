#pragma once
// One thread that runs jobs when they fall due: the USB host gives it the
// answers its devices hold back for their latency, so that the testbed's
// single ioctl thread never waits and devices answer side by side, as
// devices on separate ports do.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace sovra::sim {

class ReplyTimer {
  public:
    using Clock = std::chrono::steady_clock;
    using Job = std::function<void()>;

    ReplyTimer();
    // Stop(). A job must not hold the last owner of its timer: the thread
    // cannot end itself.
    ~ReplyTimer();
    ReplyTimer(const ReplyTimer&) = delete;
    ReplyTimer& operator=(const ReplyTimer&) = delete;

    // Runs `job` on the timer's thread once `due` has come: jobs run in the
    // order of their due times, and jobs due at the same time in the order
    // they were given. Once the timer is stopping, the job runs at once on
    // the caller's thread instead, so no answer is ever left waiting.
    void Schedule(Clock::time_point due, Job job);

    // Runs every waiting job now, in order, and ends the thread. Safe to
    // call more than once.
    void Stop();

    // Jobs given and not yet started.
    std::size_t Waiting() const;

  private:
    void Run();

    mutable std::mutex mu_;
    std::condition_variable cv_;
    // By due time, then by arrival.
    std::map<std::pair<Clock::time_point, std::uint64_t>, Job> queue_;
    std::uint64_t next_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace sovra::sim
