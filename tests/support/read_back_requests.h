#pragma once
// The requests Stage 1 makes of a device holding `flash` when nothing goes
// wrong: the prepare, one read of every chunk, then the reads that confirm
// a valid image, or a second read of every chunk when it is not one.

#include <cstdint>
#include <span>

#include "flash/flash_stages.h"

namespace sovra::testing {

inline std::uint64_t ReadBackRequests(std::span<const std::uint8_t> flash) {
    const std::uint64_t confirming = UncoveredChunks(flash).size();
    return 1 + std::uint64_t{ChunkCount} + (confirming > 0 ? confirming : ChunkCount);
}

}  // namespace sovra::testing
