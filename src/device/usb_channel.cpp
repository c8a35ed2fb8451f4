#include "device/usb_channel.h"

#include <libusb.h>

#include <limits>

namespace sovra {

void LibusbContextDeleter::operator()(libusb_context* ctx) const {
    libusb_exit(ctx);
}

void LibusbHandleDeleter::operator()(libusb_device_handle* h) const {
    libusb_close(h);
}

Status StatusFromControlTransfer(int result, std::size_t expected) {
    if (result >= 0) {
        const auto moved = static_cast<std::size_t>(result);
        if (moved == expected) {
            return S_OK;
        }
        return moved < expected ? E_DEVICE_SHORT : E_DEVICE_IO;
    }
    switch (result) {
        case LIBUSB_ERROR_TIMEOUT:
            return E_DEVICE_TIMEOUT;
        case LIBUSB_ERROR_PIPE:
            return E_DEVICE_STALL;
        case LIBUSB_ERROR_NO_DEVICE:
            return E_DEVICE_GONE;
        default:
            return E_DEVICE_IO;
    }
}

UsbChannel::UsbChannel(LibusbContextPtr context, LibusbHandlePtr handle, int claimedInterface,
                       std::chrono::milliseconds timeout)
    : context_(std::move(context)),
      handle_(std::move(handle)),
      claimedInterface_(claimedInterface),
      // 0 would mean "wait for ever" to libusb; never let a bad value do that.
      timeoutMs_(static_cast<unsigned int>(timeout.count() <= 0
                                               ? 1
                                               : (timeout.count() > std::numeric_limits<int>::max()
                                                      ? std::numeric_limits<int>::max()
                                                      : timeout.count()))) {}

UsbChannel::~UsbChannel() {
    if (handle_ && claimedInterface_ >= 0) {
        libusb_release_interface(handle_.get(), claimedInterface_);
    }
}

Status UsbChannel::Transfer(const ControlSetup& request, std::span<std::uint8_t> data) {
    if (!handle_ || data.size() != request.wLength) {
        return E_HANDLE;
    }
    const int result = libusb_control_transfer(
        handle_.get(), request.bmRequestType, request.bRequest, request.wValue, request.wIndex,
        data.empty() ? nullptr : data.data(), request.wLength, timeoutMs_);
    return StatusFromControlTransfer(result, data.size());
}

}  // namespace sovra
