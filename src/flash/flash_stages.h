#pragma once
// The device stages of an update, as plain functions over a channel, the
// 256 KiB working buffer, a progress sink and a cancellation flag: reading
// the flash (Stage 1, also `dump`'s and a restore's read), writing an image
// (Stage 3) and reading it back to compare (the check after writing). Each
// stops at its first failed request and says where, in a sentence.

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "app/status.h"
#include "flash/flash_command.h"
#include "flash/progress.h"

namespace sovra {

// How often one chunk is read at most before a read-back that keeps
// disagreeing with itself is given up.
inline constexpr int kMaxChunkReads = 5;

struct ReadBackReport {
    // Chunks whose first two reads differed and that were read again.
    std::uint32_t rereadChunks = 0;
};

// The whole flash into `flash` (FlashSize bytes): the prepare request, then
// every chunk read twice. A chunk is kept only as two of its reads gave it:
// one whose first two reads differ is read again until a read agrees with
// an earlier one. A bit flipped on the way in thus never reaches the merge
// or a backup. The stage bar makes one pass from 0 to 99 across both reads
// (the second read of chunk k is step 4096+k of 8192), stepping the overall
// bar at each change.
//
// `cancel`, when set, stops the read between two requests
// (E_UPDATE_CANCELLED). On failure `failure` says what failed and where.
Status ReadFlash(DeviceChannel& channel, std::span<std::uint8_t> flash, StageProgress& progress,
                 const std::atomic<bool>* cancel, ReadBackReport& report, std::string& failure);

// Stage 3: ceil(length / 64) chunks of `flash` from address 0. A last
// partial chunk still goes as 64 bytes: the buffer holds the read-back
// beyond the image. `writesSent` counts the write requests handed to the
// device, so that a caller knows whether its flash is still untouched.
Status WriteImage(DeviceChannel& channel, std::span<std::uint8_t> flash, std::uint32_t length,
                  StageProgress& progress, std::uint32_t& writesSent, std::string& failure);

// The chunks WriteImage wrote, read back and compared with `flash`. Moves
// the stage bar from 0 again, without stepping the overall bar.
Status VerifyImage(DeviceChannel& channel, std::span<const std::uint8_t> flash,
                   std::uint32_t length, StageProgress& progress, std::string& failure);

// "0x01240": a flash address as the sentences show it.
std::string AddressText(std::uint32_t address);

}  // namespace sovra
