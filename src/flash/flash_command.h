#pragma once
// The flash requests an update makes, as they go on the wire: each one is a
// vendor control request on the default pipe and its data.

#include <cstdint>
#include <span>

#include "app/status.h"

namespace sovra {

inline constexpr std::uint32_t FlashSize = 0x40000;  // 256 KiB
inline constexpr std::uint32_t ChunkSize = 64;
inline constexpr std::uint32_t ChunkCount = FlashSize / ChunkSize;  // 4096

inline constexpr std::uint8_t CommandWriteFlash = 0xBA;
inline constexpr std::uint8_t CommandReadFlash = 0xBB;
inline constexpr std::uint8_t CommandPrepare = 0xBE;

inline constexpr std::uint16_t PrepareAddressLow = 0x001B;
inline constexpr std::uint8_t PrepareValue = 0x01;
inline constexpr std::uint16_t FlashAddressTag = 0x50;  // OR-ed into AddressHigh

// Address fields of the chunk at byte address A.
constexpr std::uint16_t ChunkAddressLow(std::uint32_t a) {
    return static_cast<std::uint16_t>(a & 0xFFFFu);
}
constexpr std::uint16_t ChunkAddressHigh(std::uint32_t a) {
    return static_cast<std::uint16_t>(FlashAddressTag | ((a >> 16) & 7u));
}
constexpr std::uint16_t ChunkLength(std::uint32_t a) {
    return static_cast<std::uint16_t>(
        a >= FlashSize ? 0 : (FlashSize - a < ChunkSize ? FlashSize - a : ChunkSize));
}

// A USB control request: the setup packet's fields. bRequest is the
// command, wValue and wIndex the address fields, wLength the data's length.
struct ControlSetup {
    std::uint8_t bmRequestType = 0;  // 0x40 host-to-device, 0xC0 device-to-host
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;

    friend bool operator==(const ControlSetup&, const ControlSetup&) = default;
};
inline constexpr std::uint8_t kVendorOut = 0x40;
inline constexpr std::uint8_t kVendorIn = 0xC0;

// One call per request: the request and its data buffer in (the buffer's
// length must equal wLength), a status out. For a device-to-host request
// the device fills the buffer; otherwise it takes it.
class DeviceChannel {
  public:
    virtual ~DeviceChannel() = default;
    virtual Status Transfer(const ControlSetup& request, std::span<std::uint8_t> data) = 0;
};

// The three requests of an update, each exactly one Transfer call. A chunk
// that does not lie wholly inside `flashImage` is never sent (E_HANDLE).
Status SendPrepare(DeviceChannel& channel);
Status ReadChunk(DeviceChannel& channel, std::uint32_t address, std::span<std::uint8_t> flashImage);
Status WriteChunk(DeviceChannel& channel, std::uint32_t address,
                  std::span<std::uint8_t> flashImage);

}  // namespace sovra
