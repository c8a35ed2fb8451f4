#include "flash/firmware_file.h"

#include "app/files.h"
#include "flash/flash_command.h"

namespace sovra {
namespace {

// Reads at most a flash's worth; `what` names the kind of file in messages.
Error ReadImageFile(const std::string& path, const char* what, std::vector<std::uint8_t>& bytes) {
    const std::string shown = std::string(what) + " '" + path + "'";
    std::string reason;
    switch (ReadRegularFileWithReason(path, FlashSize, bytes, reason)) {
        case ReadFailure::kNone:
            return {};
        case ReadFailure::kOpen:
            return Error(E_FAIL, "cannot open the " + shown + ": " + reason);
        case ReadFailure::kNotRegular:
            return Error(E_FAIL, "the " + shown + " is " + reason + ", not a regular file");
        case ReadFailure::kTooLarge:
            return Error(E_IMAGE_TOO_LONG,
                         "the " + shown + " is larger than the device's 256 KiB flash");
        case ReadFailure::kRead:
            break;
    }
    return Error(E_FAIL, "cannot read the " + shown + ": " + reason);
}

}  // namespace

Error LoadFirmwareFile(const std::string& path, FirmwareFile& out) {
    out = {};
    std::vector<std::uint8_t> bytes;
    if (Error e = ReadImageFile(path, "firmware file", bytes); e.Failed()) {
        return e;
    }
    ImageLayout layout;
    if (const Status valid = ValidateImage(bytes, FlashSize, layout); Failed(valid)) {
        return Error(valid).Within("the firmware file '" + path + "' cannot be written");
    }
    out = {path, std::move(bytes), layout};
    return {};
}

Error LoadFlashDump(const std::string& path, std::vector<std::uint8_t>& out, FlashCheck& check) {
    out.clear();
    check = {};
    std::vector<std::uint8_t> bytes;
    if (Error e = ReadImageFile(path, "flash dump", bytes); e.Failed()) {
        return e;
    }
    const std::string shown = "the flash dump '" + path + "'";
    if (bytes.size() != FlashSize) {
        return Error(E_IMAGE_TOO_SHORT, shown + " holds " + std::to_string(bytes.size()) +
                                            " bytes; a whole flash is exactly " +
                                            std::to_string(FlashSize));
    }
    check = CheckFlashContents(bytes);
    if (Failed(check.status)) {
        Error e(check.status);
        if (check.status == E_IMAGE_BAD_CHECKSUM && check.deviceInfo) {
            e = Error(check.status, e.What() +
                                        ". If it is this device's own backup, restore it with "
                                        "--force: it is then written only onto the device whose "
                                        "device data it holds");
            out = std::move(bytes);
        }
        return std::move(e).Within(shown + " is not a valid flash");
    }
    out = std::move(bytes);
    return {};
}

}  // namespace sovra
