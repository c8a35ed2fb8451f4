#pragma once
// The virtual beamformer: 256 KiB of flash behind the three vendor control
// requests the firmware tool uses, answering as the device does. Shared by
// the in-process channel (fast unit tests) and the USB host (umockdev).
// Thread-safe: the USB host answers from its own thread.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "flash/flash_command.h"

namespace sovra::sim {

struct FaultPlan {
    std::chrono::microseconds latency{0};  // each request takes this long
    std::uint64_t failAt = 0;              // the K-th request stalls (1-based; 0 = never)
    std::uint64_t unplugAt = 0;            // the device vanishes at the K-th request
    std::uint64_t corruptAt = 0;           // the K-th request, if a read, returns flipped bits
    // With corruptAt: only this byte of that answer (0 to 63) is flipped.
    std::optional<std::uint8_t> corruptByte = std::nullopt;
    // The K-th write request (counting write requests only, from 1) is
    // acknowledged but its data is not stored.
    std::uint64_t dropWriteAt = 0;
};

enum class Answer {
    Ok,     // done; data moved
    Stall,  // refused (unknown command, bad address or length, injected failure)
    Gone,   // the device is no longer there
};

class BeamformerModel {
  public:
    // Flash contents: exactly FlashSize bytes; anything else is padded with
    // 0xFF or cut.
    explicit BeamformerModel(std::vector<std::uint8_t> flash, FaultPlan faults = {});

    // One control request. For an IN request (0xC0) the model fills `data`;
    // for an OUT request (0x40) it takes it. `data.size()` is the data
    // stage's length and must equal wLength. Answers at once: the transport
    // makes the answer take Latency() (a device that has gone answers at
    // once), each in its own way, so that one slow device holds up no other.
    Answer Handle(const ControlSetup& setup, std::span<std::uint8_t> data);
    // How long each answer takes (FaultPlan::latency).
    std::chrono::microseconds Latency() const;

    std::vector<std::uint8_t> Flash() const;
    std::uint64_t RequestCount() const;
    bool Prepared() const;
    bool Present() const;
    // Unplugs the device from outside (the USB host's unplug on demand).
    void Unplug();
    // Plugs it back in: a fresh power-up, so a prepare must come again; the
    // flash is kept, and an unplug-at fault that has fired stays spent
    // (otherwise the device would vanish again at its first request).
    void Replug();

  private:
    mutable std::mutex mu_;
    std::vector<std::uint8_t> flash_;
    FaultPlan faults_;
    std::uint64_t requests_ = 0;
    std::uint64_t writes_ = 0;
    bool prepared_ = false;
    bool present_ = true;
};

}  // namespace sovra::sim
