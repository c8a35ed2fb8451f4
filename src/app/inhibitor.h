#pragma once
// Holds off shutdown and sleep while an update writes to a device: an
// interrupted write can leave a beamformer that no longer starts. The lock
// is systemd-logind's "block" inhibitor, taken over the system bus; it lasts
// as long as the file descriptor logind hands out stays open.
//
// Taking the lock is a courtesy, never a condition: without a system bus,
// without logind, when logind refuses or on any other failure the update
// goes on without it, and nothing is printed. Acquire gives up after
// kInhibitorBusTimeout, so a stuck bus never holds up an update.

#include <chrono>
#include <string_view>

namespace sovra {

inline constexpr std::string_view kInhibitWhy = "Updating beamformer firmware";
inline constexpr std::string_view kInhibitWho = "SovRa Firmware Update";
// How long Acquire may spend on the bus in all: connecting, the handshake
// and the call.
inline constexpr std::chrono::milliseconds kInhibitorBusTimeout{1000};

class ShutdownInhibitor {
  public:
    // Holds nothing.
    ShutdownInhibitor() = default;
    ~ShutdownInhibitor();
    ShutdownInhibitor(ShutdownInhibitor&& other) noexcept;
    ShutdownInhibitor& operator=(ShutdownInhibitor&& other) noexcept;
    ShutdownInhibitor(const ShutdownInhibitor&) = delete;
    ShutdownInhibitor& operator=(const ShutdownInhibitor&) = delete;

    // Asks logind on the system bus (DBUS_SYSTEM_BUS_ADDRESS, else the
    // usual socket) for a "shutdown:sleep" lock in "block" mode. `why` and
    // `who` are what the desktop shows when it explains why it cannot shut
    // down. Returns an object holding no lock when that did not work.
    static ShutdownInhibitor Acquire(std::string_view why = kInhibitWhy,
                                     std::string_view who = kInhibitWho);

    // Whether a lock is held; it is released when the object goes.
    bool Held() const { return fd_ >= 0; }

  private:
    explicit ShutdownInhibitor(int fd) : fd_(fd) {}
    void Close() noexcept;

    int fd_ = -1;
};

}  // namespace sovra
