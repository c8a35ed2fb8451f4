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
// Returns S_OK, or:
// - E_HANDLE when an input is empty or zero, or imageLength exceeds the
//   file's bytes: nothing is changed, not even the operation text;
// - E_IMAGE_TOO_LONG, E_IMAGE_TOO_SHORT, E_IMAGE_RECORD_OVERRUN,
//   E_IMAGE_NO_END or E_IMAGE_RESULT_TOO_LONG when the file cannot be merged
//   (see ValidateImage: its records and end marker must lie inside the file,
//   and the new image must fit the smaller of the capacity and FlashSize);
// - E_FIRMWARE_NO_DEVICE_INFO when the read-back holds a device-info record
//   and the file has none to carry it into: the device's own block would be
//   overwritten by the file's words.
// On every failure neither flashImage nor imageLength has been changed, so
// that the caller can stop before it writes anything; the stage bar is
// untouched and only the operation text says the stage began.
//
// A read-back that cannot be walked is no failure: the search for the
// device's information block ends where its walk ends, and the file's own
// block is kept. `carried`, when given, tells whether the device's block was
// carried over into the new image.
Status MergeFirmware(std::span<std::uint8_t> flashImage, std::span<const std::uint8_t> fileImage,
                     std::uint32_t& imageLength, const Clock& clock, StageProgress& progress,
                     bool* carried = nullptr);

}  // namespace sovra
