#pragma once
// Devices a test plugs and unplugs, and the DeviceSource that shows them.
// Each change is an event and makes the descriptor readable, as a udev
// monitor's does; the present devices are listed by path.

#include <sys/eventfd.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "device/device_source.h"

namespace sovra::testing {

class DeviceBus {
  public:
    explicit DeviceBus(const std::vector<PresentDevice>& present = {})
        : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        if (fd_ < 0) {
            throw std::runtime_error("eventfd failed");
        }
        for (const PresentDevice& d : present) {
            present_[d.path] = d;
        }
    }
    ~DeviceBus() { ::close(fd_); }
    DeviceBus(const DeviceBus&) = delete;
    DeviceBus& operator=(const DeviceBus&) = delete;

    void Plug(const std::string& path, UsbIds ids, const std::string& serial = {}) {
        Change([&] {
            present_[path] = {path, ids, serial};
            changes_.push_back({path, ids, true, serial});
        });
    }
    void Unplug(const std::string& path) {
        Change([&] {
            changes_.push_back({path, present_.at(path).ids, false});
            present_.erase(path);
        });
    }
    // An event that is neither an arrival nor a removal.
    void Nudge() {
        Change([] {});
    }

    std::vector<PresentDevice> Present() const {
        const std::lock_guard lock(mu_);
        std::vector<PresentDevice> out;
        for (const auto& [path, device] : present_) {
            out.push_back(device);
        }
        return out;
    }
    int EventFd() const { return fd_; }
    // The arrivals and removals since the last drain.
    std::vector<DeviceChange> Drain() {
        std::uint64_t count = 0;
        (void)!::read(fd_, &count, sizeof count);
        const std::lock_guard lock(mu_);
        pending_ = false;
        return std::exchange(changes_, {});
    }
    // Whether an event is still waiting for a drain.
    bool Pending() const {
        const std::lock_guard lock(mu_);
        return pending_;
    }
    // How many sources on this bus are open.
    int OpenSources() const {
        const std::lock_guard lock(mu_);
        return openSources_;
    }
    void CountSource(int delta) {
        const std::lock_guard lock(mu_);
        openSources_ += delta;
    }

  private:
    template <typename F>
    void Change(F&& change) {
        {
            const std::lock_guard lock(mu_);
            change();
            pending_ = true;
        }
        const std::uint64_t one = 1;
        (void)!::write(fd_, &one, sizeof one);
    }

    int fd_;
    mutable std::mutex mu_;
    std::map<std::string, PresentDevice> present_;
    std::vector<DeviceChange> changes_;
    bool pending_ = false;
    int openSources_ = 0;
};

// A source on a bus: fixed devices, or the ones the test plugs.
class FixedSource final : public DeviceSource {
  public:
    explicit FixedSource(std::shared_ptr<DeviceBus> bus) : bus_(std::move(bus)) {
        bus_->CountSource(1);
    }
    explicit FixedSource(const std::vector<PresentDevice>& devices)
        : FixedSource(std::make_shared<DeviceBus>(devices)) {}
    ~FixedSource() override { bus_->CountSource(-1); }

    std::vector<PresentDevice> PresentDevices() override { return bus_->Present(); }
    int EventFd() const override { return bus_->EventFd(); }
    std::vector<DeviceChange> DrainEvents() override { return bus_->Drain(); }

  private:
    std::shared_ptr<DeviceBus> bus_;
};

}  // namespace sovra::testing
