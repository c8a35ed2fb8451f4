#include "sim/plug_schedule.h"

#include <algorithm>
#include <utility>

#include "sim/usb_host.h"

namespace sovra::sim {

PlugSchedule::PlugSchedule(UsbHost& host, std::vector<Event> events)
    : host_(host), events_(std::move(events)) {
    std::stable_sort(events_.begin(), events_.end(),
                     [](const Event& a, const Event& b) { return a.at < b.at; });
}

PlugSchedule::~PlugSchedule() {
    Stop();
}

void PlugSchedule::Start() {
    if (!thread_.joinable() && !events_.empty()) {
        thread_ = std::thread([this, start = std::chrono::steady_clock::now()] { Run(start); });
    }
}

void PlugSchedule::Stop() {
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void PlugSchedule::Run(std::chrono::steady_clock::time_point start) {
    for (const Event& e : events_) {
        {
            std::unique_lock lock(mu_);
            if (cv_.wait_until(lock, start + e.at, [this] { return stopping_; })) {
                return;
            }
        }
        if (e.arrives) {
            host_.Replug(e.device);
        } else {
            host_.Unplug(e.device);
        }
    }
}

}  // namespace sovra::sim
