#pragma once
// Stage 2 of an update: builds, in place in the flash image, the image to
// write: the firmware file with the device's own information block carried
// over from the read-back, its time stamps brought up to date, a fresh
// checksum and the new length.

#include <cstdint>
#include <span>

#include "app/filetime.h"
#include "app/status.h"
#include "flash/progress.h"

namespace sovra {

// flashImage: the whole read-back (its size is the capacity, FlashSize in an
// update). fileImage: the firmware file's bytes. imageLength: on entry the
// length of the file image (at most fileImage.size()), on return the length
// of the new image.
//
// Returns S_OK, E_HANDLE when an input is empty or zero (nothing changed), or
// one of the E_IMAGE_* codes when the file cannot be merged; on every failure
// neither flashImage nor imageLength has been changed, so that the caller
// can stop before it writes anything.
Status ParseFirmware(std::span<std::uint8_t> flashImage, std::span<const std::uint8_t> fileImage,
                     std::uint32_t& imageLength, const Clock& clock, StageProgress& progress);

}  // namespace sovra
