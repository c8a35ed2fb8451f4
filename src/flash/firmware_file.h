#pragma once
// Loading the two kinds of image file: a firmware file to write, and a
// flash dump (a read-back, a backup, `sovra-flash dump`) to write back or to
// merge against. Both programs load them here, so they refuse the same files
// with the same words.

#include <cstdint>
#include <string>
#include <vector>

#include "app/status.h"
#include "flash/image_format.h"

namespace sovra {

struct FirmwareFile {
    std::string path;
    std::vector<std::uint8_t> bytes;
    ImageLayout layout;
};

// Reads `path` (a regular file, at most FlashSize bytes) and validates it as
// an image the flash can take. S_OK; E_FAIL when it cannot be read (missing,
// not a regular file, a read error); E_IMAGE_TOO_LONG, without reading it
// whole, when it is larger than the flash; otherwise ValidateImage's
// failure. `error` is then a sentence naming the file and the reason, and
// `out` is left empty.
Status LoadFirmwareFile(const std::string& path, FirmwareFile& out, std::string& error);

// Reads a whole flash: exactly FlashSize bytes that walk as a valid flash
// (CheckFlashContents). S_OK with `out` and `check` filled; E_FAIL when it
// cannot be read; E_IMAGE_TOO_LONG or E_IMAGE_TOO_SHORT when it is not the
// flash's size; otherwise the check's failure, with `check` filled so a
// caller can say more. `out` is left empty on every failure but one: a
// flash with a device-info record whose only fault is its checksum (the
// backup of a flash that was already damaged) is handed over with
// E_IMAGE_BAD_CHECKSUM, for a restore the user forces onto its own device.
Status LoadFlashDump(const std::string& path, std::vector<std::uint8_t>& out, FlashCheck& check,
                     std::string& error);

}  // namespace sovra
