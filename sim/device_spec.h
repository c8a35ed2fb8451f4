#pragma once
// A virtual device as the launcher's --device option describes it:
//   VID:PID:REV[,option]...
// VID and PID are 1 to 4 hexadecimal digits, REV (bcdDevice) exactly 4;
// the options are flash=FILE, serial=TEXT, latency-us=N, fail-at=K,
// unplug-at=K, corrupt-at=K, corrupt-byte=N and drop-write-at=K, each at most
// once, and arrive-ms=N and leave-ms=N, as often as wanted; numbers in decimal.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/error.h"
#include "sim/beamformer_model.h"
#include "sim/usb_descriptors.h"

namespace sovra::sim {

struct DeviceSpec {
    UsbIds ids;
    std::optional<std::string> flashFile;  // none: a generated sample flash
    FaultPlan faults;
    // When the device is plugged in and unplugged, counted from the start
    // of the command, in time order, arrivals and departures taking turns.
    // Empty: present from the start to the end; a first departure: present
    // from the start.
    struct PlugTime {
        std::chrono::milliseconds at;
        bool arrives;
    };
    std::vector<PlugTime> plugTimes;
    bool PresentAtStart() const { return plugTimes.empty() || !plugTimes.front().arrives; }
};

// Reads `text` into `spec`; a failure names the device text and what is
// wrong with it.
Error ParseDeviceSpec(std::string_view text, DeviceSpec& spec);

// Reads a flash= file: exactly FlashSize bytes (never more than FlashSize + 1
// are read).
Error LoadFlashFile(const std::string& path, std::vector<std::uint8_t>& flash);

// Longest injected latency accepted: beyond it a run would look hung.
inline constexpr std::uint64_t kMaxLatencyUs = 10'000'000;
// Latest arrival or departure accepted: a day.
inline constexpr std::uint64_t kMaxPlugMs = 86'400'000;
// Longest USB serial number string: a string descriptor holds 126 UTF-16
// characters.
inline constexpr std::size_t kMaxSerialChars = 126;

}  // namespace sovra::sim
