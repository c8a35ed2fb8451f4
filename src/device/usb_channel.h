#pragma once
// The USB transport: each flash request is one control transfer on the
// default pipe, sent as it is.

#include <chrono>
#include <cstddef>
#include <memory>

#include "flash/flash_command.h"

struct libusb_context;
struct libusb_device_handle;

namespace sovra {

// An EEPROM page write takes at most about 10 ms; a device that has not
// answered after this long is not going to.
inline constexpr std::chrono::milliseconds kUsbRequestTimeout{5000};

struct LibusbContextDeleter {
    void operator()(libusb_context* ctx) const;
};
struct LibusbHandleDeleter {
    void operator()(libusb_device_handle* h) const;
};
using LibusbContextPtr = std::unique_ptr<libusb_context, LibusbContextDeleter>;
using LibusbHandlePtr = std::unique_ptr<libusb_device_handle, LibusbHandleDeleter>;

// The status of one control transfer from libusb's result (bytes moved, or
// a negative LIBUSB_ERROR code) and the data length asked for.
Status StatusFromControlTransfer(int result, std::size_t expected);

class UsbChannel final : public DeviceChannel {
  public:
    // Takes the context and the open handle; `claimedInterface` is the
    // interface number to release on destruction, or -1.
    UsbChannel(LibusbContextPtr context, LibusbHandlePtr handle, int claimedInterface,
               std::chrono::milliseconds timeout = kUsbRequestTimeout);
    ~UsbChannel() override;
    UsbChannel(const UsbChannel&) = delete;
    UsbChannel& operator=(const UsbChannel&) = delete;

    // Blocks until the transfer completes, fails or times out. libusb lets
    // any thread call this; the update calls it from its worker.
    Status Transfer(const ControlSetup& request, std::span<std::uint8_t> data) override;

  private:
    // Declared first so it is destroyed last: the handle belongs to it.
    LibusbContextPtr context_;
    LibusbHandlePtr handle_;
    int claimedInterface_;
    unsigned int timeoutMs_;
};

}  // namespace sovra
