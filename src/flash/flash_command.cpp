#include "flash/flash_command.h"

namespace sovra {
namespace {

// The chunk of the flash image at a byte address, or an empty span when it
// would not lie wholly inside the image.
std::span<std::uint8_t> ChunkAt(std::span<std::uint8_t> image, std::uint32_t address) {
    const std::uint16_t len = ChunkLength(address);
    if (len == 0 || address > image.size() || image.size() - address < len) {
        return {};
    }
    return image.subspan(address, len);
}

Status SendChunk(DeviceChannel& channel, std::uint8_t requestType, std::uint8_t command,
                 std::uint32_t address, std::span<std::uint8_t> flashImage) {
    const auto chunk = ChunkAt(flashImage, address);
    if (chunk.empty()) {
        return E_HANDLE;
    }
    return channel.Transfer({requestType, command, ChunkAddressHigh(address),
                             ChunkAddressLow(address), static_cast<std::uint16_t>(chunk.size())},
                            chunk);
}

}  // namespace

Status SendPrepare(DeviceChannel& channel) {
    std::uint8_t value = PrepareValue;
    return channel.Transfer({kVendorOut, CommandPrepare, 0, PrepareAddressLow, 1},
                            std::span<std::uint8_t>(&value, 1));
}

Status ReadChunk(DeviceChannel& channel, std::uint32_t address,
                 std::span<std::uint8_t> flashImage) {
    return SendChunk(channel, kVendorIn, CommandReadFlash, address, flashImage);
}

Status WriteChunk(DeviceChannel& channel, std::uint32_t address,
                  std::span<std::uint8_t> flashImage) {
    return SendChunk(channel, kVendorOut, CommandWriteFlash, address, flashImage);
}

}  // namespace sovra
