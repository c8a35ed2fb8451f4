#pragma once
// Loading the two kinds of image file: a firmware file to write, and a
// flash dump (a read-back, a backup, `sovra-flash dump`) to write back or to
// merge against. Both programs load them here, so they refuse the same files
// with the same words.

#include <cstdint>
#include <string>
#include <vector>

#include "app/error.h"
#include "flash/image_format.h"

namespace sovra {

struct FirmwareFile {
    std::string path;
    std::vector<std::uint8_t> bytes;
    ImageLayout layout;
};

// Reads `path` (a regular file, at most FlashSize bytes) and validates it as
// an image the flash can take. Fails with E_FAIL when it cannot be read
// (missing, not a regular file, a read error); E_IMAGE_TOO_LONG, without
// reading it whole, when it is larger than the flash; otherwise with
// ValidateImage's code. The failure names the file; `out` is left empty.
Error LoadFirmwareFile(const std::string& path, FirmwareFile& out);

// Reads a whole flash: exactly FlashSize bytes that walk as a valid flash
// (CheckFlashContents), with `out` and `check` filled. Fails with E_FAIL
// when it cannot be read; E_IMAGE_TOO_LONG or E_IMAGE_TOO_SHORT when it is
// not the flash's size; otherwise with the check's code, `check` filled so
// a caller can say more. `out` is left empty on every failure but one: a
// flash with a device-info record whose only fault is its checksum (the
// backup of a flash that was already damaged) is handed over with
// E_IMAGE_BAD_CHECKSUM, for a restore the user forces onto its own device.
Error LoadFlashDump(const std::string& path, std::vector<std::uint8_t>& out, FlashCheck& check);

}  // namespace sovra
