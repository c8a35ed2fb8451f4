#pragma once
// Reading the chosen firmware file before an update: whole, into memory,
// and only if it is a regular file that can be an image for the flash.
// No Qt here: the dialog only shows what this decides.

#include <cstdint>
#include <string>
#include <vector>

#include "app/status.h"

namespace sovra::ui {

// Reads `path` whole into `bytes`. S_OK when read; E_FAIL when it cannot be
// opened, is not a regular file, or fewer bytes than its length could be
// read; E_IMAGE_TOO_LONG, without reading it, when it is longer than the
// flash. On every failure `bytes` is left empty.
Status ReadFirmwareFile(const std::string& path, std::vector<std::uint8_t>& bytes);

// Whether the bytes read are an image the update can write: the image
// format's own validation against the flash size.
Status ValidateFirmwareFile(const std::vector<std::uint8_t>& bytes);

}  // namespace sovra::ui
