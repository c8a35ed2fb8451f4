#pragma once
// The device stages of an update, as plain functions over a channel, the
// 256 KiB working buffer, a progress sink and a cancellation flag: reading
// the flash (Stage 1, also `dump`'s and a restore's read), writing an image
// (Stage 3) and reading it back to compare (the check after writing). Each
// stops at its first failed request and says where.

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "app/error.h"
#include "flash/flash_command.h"
#include "flash/progress.h"

namespace sovra {

// How often one chunk is read at most before a read-back that keeps
// disagreeing with itself is given up.
inline constexpr int kMaxChunkReads = 5;

struct ReadBackReport {
    // The whole flash was read a second time: the image could not vouch for
    // itself, or a confirming read differed from the first.
    bool readTwice = false;
    // Chunks whose first two reads differed and that were read again.
    std::uint32_t rereadChunks = 0;
};

// The chunks of a valid flash that hold a word its checksum does not cover:
// word 0, each record's count and tag words, the end marker and the two
// words after it; in rising order, each once. Empty for a flash that is not
// a valid image (see CheckFlashContents).
std::vector<std::uint32_t> UncoveredChunks(std::span<const std::uint8_t> flash);

// Stage 1 (also `dump`'s and a restore's read): the whole flash into `flash`
// (FlashSize bytes), the prepare request and then every chunk once. The read
// stands when it holds a valid image and a second read of each of its
// UncoveredChunks agrees with the first: every byte of the image region is
// then vouched for by the checksum or by two reads, and the flash beyond it
// was read once. Otherwise the whole flash is read again (kReadAgain) and a
// chunk is kept only as two of its reads gave it: one whose reads differ is
// read again, at most kMaxChunkReads times in all. A bit flipped on the way
// in thus never reaches the merge or a backup.
//
// The first read moves the stage bar from 0 to 99, stepping the overall bar
// at each change; a second read moves the stage bar alone, from 0 again.
// `cancel`, when set, stops the read between two requests
// (E_UPDATE_CANCELLED).
Error ReadFlash(DeviceChannel& channel, std::span<std::uint8_t> flash, StageProgress& progress,
                const std::atomic<bool>* cancel, ReadBackReport& report);

// Stage 3: ceil(length / 64) chunks of `flash` from address 0. A last
// partial chunk still goes as 64 bytes: the buffer holds the read-back
// beyond the image. `writesSent` counts the write requests handed to the
// device, so that a caller knows whether its flash is still untouched.
Error WriteImage(DeviceChannel& channel, std::span<std::uint8_t> flash, std::uint32_t length,
                 StageProgress& progress, std::uint32_t& writesSent);

// The chunks WriteImage wrote, read back and compared with `flash`. Moves
// the stage bar from 0 again, without stepping the overall bar.
Error VerifyImage(DeviceChannel& channel, std::span<const std::uint8_t> flash, std::uint32_t length,
                  StageProgress& progress);

// "0x01240": a flash address as the sentences show it.
std::string AddressText(std::uint32_t address);

}  // namespace sovra
