#pragma once
// Result codes shared by every layer. They are 32-bit codes of the kind the
// flash engine has always returned: 0 is success, the top bit marks a
// failure. The first three are the ones the device binding and the update
// sequence produce; the rest tell apart the failures found since, so that a
// caller can say exactly what went wrong.

#include <cstdint>
#include <string_view>

namespace sovra {

using Status = std::uint32_t;

inline constexpr Status S_OK = 0;
inline constexpr Status E_NOINTERFACE = 0x80004002;
inline constexpr Status E_HANDLE = 0x80070006;
inline constexpr Status E_FAIL = 0x80004005;

// Our own codes carry the customer bit (0x20000000) so they never collide
// with a platform code.
// Image validation (merge and readers of the image format).
inline constexpr Status E_IMAGE_TOO_LONG = 0xA0010001;  // file larger than the flash
inline constexpr Status E_IMAGE_NO_END = 0xA0010002;    // no end marker inside the buffer
inline constexpr Status E_IMAGE_RECORD_OVERRUN =
    0xA0010003;  // a record's count runs past the buffer
inline constexpr Status E_IMAGE_RESULT_TOO_LONG =
    0xA0010004;  // merged image would not fit the flash
inline constexpr Status E_IMAGE_TOO_SHORT =
    0xA0010005;  // too short to hold a header and end marker
inline constexpr Status E_IMAGE_BAD_CHECKSUM = 0xA0010006;    // stored checksum differs
inline constexpr Status E_IMAGE_NO_DEVICE_INFO = 0xA0010007;  // no device-info record
// Device transport.
inline constexpr Status E_DEVICE_GONE = 0xA0020001;     // the device vanished
inline constexpr Status E_DEVICE_TIMEOUT = 0xA0020002;  // no answer in time
inline constexpr Status E_DEVICE_STALL = 0xA0020003;    // the device refused the request
inline constexpr Status E_DEVICE_SHORT = 0xA0020004;    // fewer bytes moved than asked for
inline constexpr Status E_DEVICE_ACCESS = 0xA0020005;   // no permission to open the device
inline constexpr Status E_DEVICE_IO = 0xA0020006;       // any other transfer failure
inline constexpr Status E_DEVICE_BUSY = 0xA0020007;     // another program holds the device
// Update sequence.
inline constexpr Status E_VERIFY_MISMATCH = 0xA0030001;   // read-back after writing differs
inline constexpr Status E_BACKUP_FAILED = 0xA0030002;     // the read-back could not be kept
inline constexpr Status E_WORKER_START = 0xA0030003;      // no thread for the update
inline constexpr Status E_UPDATE_CANCELLED = 0xA0030004;  // stopped before any write
// Safety refusals of the update engine: the device is left untouched.
inline constexpr Status E_READBACK_UNSTABLE = 0xA0040001;  // two reads of the flash never agreed
inline constexpr Status E_FIRMWARE_NO_DEVICE_INFO =
    0xA0040002;  // the file would erase the device's own block
inline constexpr Status E_RESTORE_OTHER_DEVICE =
    0xA0040003;  // the saved image holds another device's block

constexpr bool Succeeded(Status s) {
    return (s & 0x80000000u) == 0;
}
constexpr bool Failed(Status s) {
    return !Succeeded(s);
}

// One sentence a user can act on, for messages and logs.
std::string_view StatusText(Status s);

}  // namespace sovra
