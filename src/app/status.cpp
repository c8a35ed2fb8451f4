#include "app/status.h"

namespace sovra {

std::string_view StatusText(Status s) {
    switch (s) {
        case S_OK:
            return "Success.";
        case E_NOINTERFACE:
            return "The device cannot carry flash requests.";
        case E_HANDLE:
            return "Nothing to work on: an input is missing or empty.";
        case E_FAIL:
            return "The operation failed.";
        case E_IMAGE_TOO_LONG:
            return "The firmware file is larger than the device's 256 KiB flash.";
        case E_IMAGE_NO_END:
            return "The image has no end marker inside 256 KiB; it is not a valid firmware image.";
        case E_IMAGE_RECORD_OVERRUN:
            return "A record of the image runs past its end; it is not a valid firmware image.";
        case E_IMAGE_RESULT_TOO_LONG:
            return "The merged image would be larger than the device's 256 KiB flash.";
        case E_IMAGE_TOO_SHORT:
            return "The file is too short to be a firmware image.";
        case E_IMAGE_BAD_CHECKSUM:
            return "The image's stored checksum does not match its contents.";
        case E_IMAGE_NO_DEVICE_INFO:
            return "The image holds no device-info record.";
        case E_DEVICE_GONE:
            return "The device was disconnected.";
        case E_DEVICE_TIMEOUT:
            return "The device did not answer in time.";
        case E_DEVICE_STALL:
            return "The device refused a request.";
        case E_DEVICE_SHORT:
            return "The device moved fewer bytes than requested.";
        case E_DEVICE_ACCESS:
            return "Permission denied opening the device; install the udev rule or run as root.";
        case E_DEVICE_IO:
            return "A USB transfer to the device failed.";
        case E_DEVICE_BUSY:
            return "Another program is using the device; close it and try again.";
        case E_VERIFY_MISMATCH:
            return "The flash read back after writing differs from the image written.";
        case E_BACKUP_FAILED:
            return "The backup of the device's flash could not be written; nothing was written "
                   "to the device.";
        case E_WORKER_START:
            return "The update could not be started: the system would not create its thread.";
        case E_UPDATE_CANCELLED:
            return "The update was stopped on request before anything was written.";
        case E_READBACK_UNSTABLE:
            return "The flash read back differently each time it was read, so it cannot be "
                   "trusted; nothing was written to the device.";
        case E_FIRMWARE_NO_DEVICE_INFO:
            return "The firmware file has no device-info record, so writing it would erase the "
                   "device's own information block.";
        case E_RESTORE_OTHER_DEVICE:
            return "The image was saved from another device: its information block differs "
                   "from the one this device holds.";
        default:
            return "Unknown failure.";
    }
}

}  // namespace sovra
