#pragma once
// A virtual device as the launcher's --device option describes it:
//   VID:PID:REV[,option]...
// VID and PID are 1 to 4 hexadecimal digits, REV (bcdDevice) exactly 4;
// the options are flash=FILE, latency-us=N, fail-at=K, unplug-at=K,
// corrupt-at=K, corrupt-byte=N, drop-write-at=K, arrive-ms=N and leave-ms=N, each at most
// once, numbers in decimal.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/beamformer_model.h"
#include "sim/usb_descriptors.h"

namespace sovra::sim {

struct DeviceSpec {
    UsbIds ids;
    std::optional<std::string> flashFile;  // none: a generated sample flash
    FaultPlan faults;
    // When the device is plugged in and when it is unplugged, counted from
    // the start of the command. None: present from the start, and to the
    // end.
    std::optional<std::chrono::milliseconds> arriveAfter;
    std::optional<std::chrono::milliseconds> leaveAfter;
};

struct DeviceSpecResult {
    std::optional<DeviceSpec> spec;
    std::string error;  // a sentence naming what is wrong, when spec is empty
};

DeviceSpecResult ParseDeviceSpec(std::string_view text);

// Reads a flash= file: exactly FlashSize bytes, or nothing with `error`
// saying why (never more than FlashSize + 1 bytes are read).
std::optional<std::vector<std::uint8_t>> LoadFlashFile(const std::string& path, std::string& error);

// Longest injected latency accepted: beyond it a run would look hung.
inline constexpr std::uint64_t kMaxLatencyUs = 10'000'000;
// Latest arrival or departure accepted: a day.
inline constexpr std::uint64_t kMaxPlugMs = 86'400'000;

}  // namespace sovra::sim
