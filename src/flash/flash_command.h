#pragma once
// The 32-byte request block of every flash operation and the three requests
// an update makes. The block's first 24 bytes are a property header (set,
// id, flags); the last 8 are the device's own command fields. Every field is
// written and read byte by byte, little endian.

#include <array>
#include <cstdint>
#include <span>

#include "app/status.h"

namespace sovra {

inline constexpr std::uint32_t FlashSize = 0x40000;  // 256 KiB
inline constexpr std::uint32_t ChunkSize = 64;
inline constexpr std::uint32_t ChunkCount = FlashSize / ChunkSize;  // 4096

// {96EBFF87-707D-43F8-8E10-FD6E5C15ECDC} in memory order.
inline constexpr std::array<std::uint8_t, 16> FlashPropertySet = {
    0x87, 0xFF, 0xEB, 0x96, 0x7D, 0x70, 0xF8, 0x43, 0x8E, 0x10, 0xFD, 0x6E, 0x5C, 0x15, 0xEC, 0xDC};

inline constexpr std::uint32_t KSPROPERTY_TYPE_GET = 1;
inline constexpr std::uint32_t KSPROPERTY_TYPE_SET = 2;

inline constexpr std::uint16_t CommandWriteFlash = 0xBA;
inline constexpr std::uint16_t CommandReadFlash = 0xBB;
inline constexpr std::uint16_t CommandPrepare = 0xBE;

inline constexpr std::uint16_t PrepareAddressLow = 0x001B;
inline constexpr std::uint8_t PrepareValue = 0x01;
inline constexpr std::uint16_t FlashAddressTag = 0x50;  // OR-ed into AddressHigh

// The block's fields, decoded. Only used to build and to inspect blocks; the
// bytes on the wire are always those of FlashCommand::bytes.
struct FlashCommandFields {
    std::array<std::uint8_t, 16> set{};
    std::uint32_t id = 0;
    std::uint32_t flags = 0;
    std::uint16_t command = 0;
    std::uint16_t addressHigh = 0;
    std::uint16_t addressLow = 0;
    std::uint16_t length = 0;
};

class FlashCommand {
  public:
    static constexpr std::size_t kSize = 32;

    // A block with Set and Id written and the device fields zero.
    FlashCommand();

    // Writes the set and id (the property header's fixed part).
    void WriteHeader();
    // Rewrites all eight device bytes and the flags.
    void WriteRequest(std::uint32_t flags, std::uint16_t command, std::uint16_t addressHigh,
                      std::uint16_t addressLow, std::uint16_t length);

    FlashCommandFields Fields() const;
    const std::array<std::uint8_t, kSize>& bytes() const { return bytes_; }

    std::uint32_t flags() const;
    std::uint16_t command() const;
    std::uint16_t addressHigh() const;
    std::uint16_t addressLow() const;
    std::uint16_t length() const;

  private:
    std::array<std::uint8_t, kSize> bytes_{};
};

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

// How a request travels on USB: one vendor control transfer. The property
// header selects nothing there and is not sent.
struct ControlSetup {
    std::uint8_t bmRequestType = 0;  // 0x40 host-to-device, 0xC0 device-to-host
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
};
inline constexpr std::uint8_t kVendorOut = 0x40;
inline constexpr std::uint8_t kVendorIn = 0xC0;

// The control request for a block. Flags other than get and set, or a
// command above 0xFF, have no USB form: false.
bool ToControlSetup(const FlashCommand& cmd, ControlSetup& out);

// One call per request: the block and its data buffer in (the buffer's
// length must equal the block's Length), a status out. For a get request
// the device fills the buffer; for a set request it takes it.
class DeviceChannel {
  public:
    virtual ~DeviceChannel() = default;
    virtual Status Transfer(const FlashCommand& cmd, std::span<std::uint8_t> data) = 0;
};

// The three requests of an update. Each rewrites the whole request part of
// the block and makes exactly one Transfer call.
Status SendPrepare(DeviceChannel& channel, FlashCommand& cmd);
Status ReadChunk(DeviceChannel& channel, FlashCommand& cmd, std::uint32_t address,
                 std::span<std::uint8_t> flashImage);
Status WriteChunk(DeviceChannel& channel, FlashCommand& cmd, std::uint32_t address,
                  std::span<std::uint8_t> flashImage);

}  // namespace sovra
