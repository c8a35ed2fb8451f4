#include "app/inhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

namespace sovra {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDefaultSystemBus = "unix:path=/run/dbus/system_bus_socket";

struct BusCloser {
    void operator()(sd_bus* bus) const {
        // Not the flushing variant: a flush would wait on a peer that
        // stopped reading.
        sd_bus_close_unref(bus);
    }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;

struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

class BusError {
  public:
    BusError() = default;
    ~BusError() { sd_bus_error_free(&error_); }
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    sd_bus_error* get() { return &error_; }

  private:
    // All empty, as SD_BUS_ERROR_NULL, which clang rejects as pedantic.
    sd_bus_error error_{};
};

// Microseconds left until `deadline`, or 0 once it has passed.
std::uint64_t MicrosecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<std::uint64_t>(left) : 0;
}

// sd-bus waits up to 90 seconds for the handshake with a bus that accepted
// the connection and then went quiet, whatever its method-call timeout, so
// the connection is driven here until it is ready, against our deadline.
Bus OpenSystemBus(Clock::time_point deadline) {
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0) {
        return nullptr;
    }
    Bus bus(raw);
    const char* address = ::secure_getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (address == nullptr || *address == '\0') {
        address = kDefaultSystemBus;
    }
    if (sd_bus_set_address(bus.get(), address) < 0 || sd_bus_set_bus_client(bus.get(), 1) < 0 ||
        sd_bus_start(bus.get()) < 0) {
        return nullptr;
    }
    for (;;) {
        const int ready = sd_bus_is_ready(bus.get());
        if (ready < 0) {
            return nullptr;
        }
        if (ready > 0) {
            return bus;
        }
        const int processed = sd_bus_process(bus.get(), nullptr);
        if (processed < 0) {
            return nullptr;
        }
        if (processed > 0) {
            continue;
        }
        const std::uint64_t left = MicrosecondsLeft(deadline);
        if (left == 0 || sd_bus_wait(bus.get(), left) < 0) {
            return nullptr;
        }
    }
}

}  // namespace

ShutdownInhibitor ShutdownInhibitor::Acquire(std::string_view why, std::string_view who) {
    const Clock::time_point deadline = Clock::now() + kInhibitorBusTimeout;
    const Bus bus = OpenSystemBus(deadline);
    if (!bus) {
        return {};
    }
    sd_bus_message* rawCall = nullptr;
    if (sd_bus_message_new_method_call(bus.get(), &rawCall, "org.freedesktop.login1",
                                       "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                       "Inhibit") < 0) {
        return {};
    }
    const Message call(rawCall);
    const std::string whyText(why);
    const std::string whoText(who);
    if (sd_bus_message_append(call.get(), "ssss", "shutdown:sleep", whoText.c_str(),
                              whyText.c_str(), "block") < 0) {
        return {};
    }
    const std::uint64_t left = MicrosecondsLeft(deadline);
    BusError error;
    sd_bus_message* rawReply = nullptr;
    // A timeout of 0 would mean sd-bus's default, not "none left".
    if (left == 0 || sd_bus_call(bus.get(), call.get(), left, error.get(), &rawReply) < 0) {
        return {};
    }
    const Message reply(rawReply);
    int replyFd = -1;
    if (sd_bus_message_read(reply.get(), "h", &replyFd) < 0 || replyFd < 0) {
        return {};
    }
    // The reply owns its descriptor and closes it with the message; the
    // lock lives in a copy of ours, which no child program inherits.
    const int fd = ::fcntl(replyFd, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) {
        return {};
    }
    return ShutdownInhibitor(fd);
}

ShutdownInhibitor::~ShutdownInhibitor() {
    Close();
}

ShutdownInhibitor::ShutdownInhibitor(ShutdownInhibitor&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

ShutdownInhibitor& ShutdownInhibitor::operator=(ShutdownInhibitor&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void ShutdownInhibitor::Close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace sovra
