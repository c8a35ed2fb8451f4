#pragma once
// Plugs devices of a UsbHost in and out at set times after a start, on a
// thread of its own: devices that arrive while a program runs, and leave.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace sovra::sim {

class UsbHost;

class PlugSchedule {
  public:
    struct Event {
        std::chrono::milliseconds at;  // after Start()
        std::size_t device;            // the host's index
        bool arrives;                  // plugged in; otherwise unplugged
    };

    // The events happen in the order of their times, those at the same
    // time in the order given. The host must outlive the schedule.
    PlugSchedule(UsbHost& host, std::vector<Event> events);
    // Stop().
    ~PlugSchedule();
    PlugSchedule(const PlugSchedule&) = delete;
    PlugSchedule& operator=(const PlugSchedule&) = delete;

    // Time zero. Once only.
    void Start();
    // Drops the events still to come and waits for one under way.
    void Stop();

  private:
    void Run(std::chrono::steady_clock::time_point start);

    UsbHost& host_;
    std::vector<Event> events_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace sovra::sim
