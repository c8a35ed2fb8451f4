#include "flash/flash_command.h"

#include <algorithm>

namespace sovra {
namespace {

void Put16(std::array<std::uint8_t, FlashCommand::kSize>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v & 0xFF);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::array<std::uint8_t, FlashCommand::kSize>& b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) {
        b[at + i] = static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF);
    }
}

std::uint16_t Get16(const std::array<std::uint8_t, FlashCommand::kSize>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t Get32(const std::array<std::uint8_t, FlashCommand::kSize>& b, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        v |= static_cast<std::uint32_t>(b[at + i]) << (8 * i);
    }
    return v;
}

constexpr std::size_t kSetAt = 0;
constexpr std::size_t kIdAt = 16;
constexpr std::size_t kFlagsAt = 20;
constexpr std::size_t kCommandAt = 24;
constexpr std::size_t kAddressHighAt = 26;
constexpr std::size_t kAddressLowAt = 28;
constexpr std::size_t kLengthAt = 30;

// The chunk of the flash image at a byte address, or an empty span when it
// would not lie wholly inside the image.
std::span<std::uint8_t> ChunkAt(std::span<std::uint8_t> image, std::uint32_t address) {
    const std::uint16_t len = ChunkLength(address);
    if (len == 0 || address > image.size() || image.size() - address < len) {
        return {};
    }
    return image.subspan(address, len);
}

}  // namespace

FlashCommand::FlashCommand() {
    WriteHeader();
}

void FlashCommand::WriteHeader() {
    std::copy(FlashPropertySet.begin(), FlashPropertySet.end(), bytes_.begin() + kSetAt);
    Put32(bytes_, kIdAt, 0);
}

void FlashCommand::WriteRequest(std::uint32_t flags, std::uint16_t command,
                                std::uint16_t addressHigh, std::uint16_t addressLow,
                                std::uint16_t length) {
    Put32(bytes_, kFlagsAt, flags);
    Put16(bytes_, kCommandAt, command);
    Put16(bytes_, kAddressHighAt, addressHigh);
    Put16(bytes_, kAddressLowAt, addressLow);
    Put16(bytes_, kLengthAt, length);
}

FlashCommandFields FlashCommand::Fields() const {
    FlashCommandFields f;
    std::copy_n(bytes_.begin() + kSetAt, f.set.size(), f.set.begin());
    f.id = Get32(bytes_, kIdAt);
    f.flags = flags();
    f.command = command();
    f.addressHigh = addressHigh();
    f.addressLow = addressLow();
    f.length = length();
    return f;
}

std::uint32_t FlashCommand::flags() const {
    return Get32(bytes_, kFlagsAt);
}
std::uint16_t FlashCommand::command() const {
    return Get16(bytes_, kCommandAt);
}
std::uint16_t FlashCommand::addressHigh() const {
    return Get16(bytes_, kAddressHighAt);
}
std::uint16_t FlashCommand::addressLow() const {
    return Get16(bytes_, kAddressLowAt);
}
std::uint16_t FlashCommand::length() const {
    return Get16(bytes_, kLengthAt);
}

bool ToControlSetup(const FlashCommand& cmd, ControlSetup& out) {
    const std::uint32_t flags = cmd.flags();
    if (flags == KSPROPERTY_TYPE_SET) {
        out.bmRequestType = kVendorOut;
    } else if (flags == KSPROPERTY_TYPE_GET) {
        out.bmRequestType = kVendorIn;
    } else {
        return false;
    }
    if (cmd.command() > 0xFF) {
        return false;
    }
    out.bRequest = static_cast<std::uint8_t>(cmd.command());
    out.wValue = cmd.addressHigh();
    out.wIndex = cmd.addressLow();
    out.wLength = cmd.length();
    return true;
}

Status SendPrepare(DeviceChannel& channel, FlashCommand& cmd) {
    std::uint8_t value = PrepareValue;
    cmd.WriteRequest(KSPROPERTY_TYPE_SET, CommandPrepare, 0, PrepareAddressLow, 1);
    return channel.Transfer(cmd, std::span<std::uint8_t>(&value, 1));
}

Status ReadChunk(DeviceChannel& channel, FlashCommand& cmd, std::uint32_t address,
                 std::span<std::uint8_t> flashImage) {
    const auto chunk = ChunkAt(flashImage, address);
    if (chunk.empty()) {
        return E_HANDLE;
    }
    cmd.WriteRequest(KSPROPERTY_TYPE_GET, CommandReadFlash, ChunkAddressHigh(address),
                     ChunkAddressLow(address), static_cast<std::uint16_t>(chunk.size()));
    return channel.Transfer(cmd, chunk);
}

Status WriteChunk(DeviceChannel& channel, FlashCommand& cmd, std::uint32_t address,
                  std::span<std::uint8_t> flashImage) {
    const auto chunk = ChunkAt(flashImage, address);
    if (chunk.empty()) {
        return E_HANDLE;
    }
    cmd.WriteRequest(KSPROPERTY_TYPE_SET, CommandWriteFlash, ChunkAddressHigh(address),
                     ChunkAddressLow(address), static_cast<std::uint16_t>(chunk.size()));
    return channel.Transfer(cmd, chunk);
}

}  // namespace sovra
