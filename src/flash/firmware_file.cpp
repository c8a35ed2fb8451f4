#include "flash/firmware_file.h"

#include <cctype>

#include "app/files.h"
#include "flash/flash_command.h"

namespace sovra {
namespace {

// A status sentence as it reads after a colon.
std::string AfterColon(Status s) {
    std::string text(StatusText(s));
    if (!text.empty()) {
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    }
    return text;
}

// Reads at most a flash's worth; `what` names the kind of file in messages.
Status ReadImageFile(const std::string& path, const char* what, std::vector<std::uint8_t>& bytes,
                     std::string& error) {
    const std::string shown = std::string(what) + " '" + path + "'";
    std::string reason;
    switch (ReadRegularFileWithReason(path, FlashSize, bytes, reason)) {
        case ReadFailure::kNone:
            return S_OK;
        case ReadFailure::kOpen:
            error = "cannot open the " + shown + ": " + reason + ".";
            return E_FAIL;
        case ReadFailure::kNotRegular:
            error = "the " + shown + " is " + reason + ", not a regular file.";
            return E_FAIL;
        case ReadFailure::kTooLarge:
            error = "the " + shown + " is larger than the device's 256 KiB flash.";
            return E_IMAGE_TOO_LONG;
        case ReadFailure::kRead:
            error = "cannot read the " + shown + ": " + reason + ".";
            return E_FAIL;
    }
    return E_FAIL;
}

}  // namespace

Status LoadFirmwareFile(const std::string& path, FirmwareFile& out, std::string& error) {
    out = {};
    std::vector<std::uint8_t> bytes;
    const Status read = ReadImageFile(path, "firmware file", bytes, error);
    if (Failed(read)) {
        return read;
    }
    ImageLayout layout;
    const Status valid = ValidateImage(bytes, FlashSize, layout);
    if (Failed(valid)) {
        error = "the firmware file '" + path + "' cannot be written: " + AfterColon(valid);
        return valid;
    }
    out = {path, std::move(bytes), layout};
    return S_OK;
}

Status LoadFlashDump(const std::string& path, std::vector<std::uint8_t>& out, FlashCheck& check,
                     std::string& error) {
    out.clear();
    check = {};
    std::vector<std::uint8_t> bytes;
    const Status read = ReadImageFile(path, "flash dump", bytes, error);
    if (Failed(read)) {
        return read;
    }
    if (bytes.size() != FlashSize) {
        error = "the flash dump '" + path + "' holds " + std::to_string(bytes.size()) +
                " bytes; a whole flash is exactly " + std::to_string(FlashSize) + ".";
        return E_IMAGE_TOO_SHORT;
    }
    check = CheckFlashContents(bytes);
    if (Failed(check.status)) {
        error = "the flash dump '" + path + "' is not a valid flash: " + AfterColon(check.status);
        if (check.status == E_IMAGE_BAD_CHECKSUM && check.deviceInfo) {
            error +=
                " If it is this device's own backup, restore it with --force: it is then "
                "written only onto the device whose device data it holds.";
            out = std::move(bytes);
        }
        return check.status;
    }
    out = std::move(bytes);
    return S_OK;
}

}  // namespace sovra
