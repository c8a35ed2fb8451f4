// How the usbfs side of a virtual device answers each request: the ioctls
// libusb makes and raw usbfs control transfers, decoded from the client's
// memory and answered from the model (or, for the few standard requests,
// from the descriptors). URBs: usbfs_urbs.cpp; claims: usbfs_handler.cpp.

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <span>
#include <utility>

#include "sim/usbfs_core.h"

namespace sovra::sim {

namespace {

constexpr std::uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_CONNINFO_EX;

constexpr std::uint32_t kSpeedHigh = USB_SPEED_HIGH;

bool IsConnInfoEx(gulong request) {
    return _IOC_TYPE(request) == 'U' && _IOC_NR(request) == 32 && _IOC_DIR(request) == _IOC_READ;
}

// Reads the field at `offset` of the structure of `size` bytes the
// argument points to.
template <class T>
bool ReadArg(UMockdevIoctlData* arg, UsbfsHandler::Core::Pins& pins, T& value,
             std::size_t size = sizeof(T), std::size_t offset = 0) {
    UMockdevIoctlData* v = Resolve(arg, 0, size, pins);
    return v != nullptr && ReadNative(v, offset, value);
}

}  // namespace

// A null pointer is refused here: umockdev would dereference it in the
// client.
UMockdevIoctlData* Resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t len,
                           UsbfsHandler::Core::Pins& pins) {
    std::uintptr_t address = 0;
    if (!ReadNative(parent, offset, address) || address == 0) {
        return nullptr;
    }
    GError* raw = nullptr;
    UMockdevIoctlData* child = umockdev_ioctl_data_resolve(parent, offset, len, &raw);
    GErrorPtr error(raw);
    if (child == nullptr) {
        return nullptr;
    }
    pins.Keep(child);
    return Length(child) >= len ? child : nullptr;
}

Reply UsbfsHandler::Core::Dispatch(UMockdevIoctlClient* client, gulong request,
                                   UMockdevIoctlData* arg, Pins& pins) {
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        // Requests that completed before the device went are still handed
        // out, as the kernel does; a program waiting for one must not hang.
        return ReapUrb(client, arg, pins, request == USBDEVFS_REAPURB);
    }
    if (!Live(client)) {
        return Fail(ENODEV);
    }
    if (IsConnInfoEx(request)) {
        return ConnInfoEx(request, arg, pins);
    }
    std::uint32_t value = 0;
    switch (request) {
        case USBDEVFS_SUBMITURB:
            return SubmitUrb(client, arg, pins);
        case USBDEVFS_CONTROL:
            return Control(arg, pins);
        case USBDEVFS_DISCARDURB: {
            // The argument is the URB's address itself, not a pointer to it.
            std::uintptr_t urb = 0;
            if (!ReadNative(arg, 0, urb)) {
                return Fail(EFAULT);
            }
            // EINVAL: landed already, or never submitted on this file.
            return Land(
                       client, [urb](const Completion& u) { return u.address == urb; }, -ENOENT)
                       ? Ok()
                       : Fail(EINVAL);
        }
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = Resolve(arg, 0, sizeof(std::uint32_t), pins);
            return caps != nullptr && WriteNative(caps, 0, kCapabilities) ? Ok() : Fail(EFAULT);
        }
        case USBDEVFS_CLAIMINTERFACE:
            return ReadArg(arg, pins, value) ? Claim(client, value, pins) : Fail(EFAULT);
        case USBDEVFS_RELEASEINTERFACE:
            return ReadArg(arg, pins, value) ? ReleaseClaim(client, value) : Fail(EFAULT);
        case USBDEVFS_DISCONNECT_CLAIM:
            // No kernel driver is bound, so there is none to disconnect.
            return ReadArg(arg, pins, value, sizeof(struct usbdevfs_disconnect_claim),
                           offsetof(struct usbdevfs_disconnect_claim, interface))
                       ? Claim(client, value, pins)
                       : Fail(EFAULT);
        case USBDEVFS_GETDRIVER:
            // No kernel driver is bound to the interface.
            return Fail(ENODATA);
        case USBDEVFS_GET_SPEED:
            return Ok(static_cast<long>(kSpeedHigh));
        case USBDEVFS_CONNECTINFO: {
            using Info = struct usbdevfs_connectinfo;
            UMockdevIoctlData* out = Resolve(arg, 0, sizeof(Info), pins);
            return out != nullptr && WriteNative(out, offsetof(Info, devnum), address.device) &&
                           WriteNative(out, offsetof(Info, slow), static_cast<unsigned char>(0))
                       ? Ok()
                       : Fail(EFAULT);
        }
        case USBDEVFS_RESET:
            return Ok();
        case USBDEVFS_SETCONFIGURATION: {
            int configuration = 0;
            if (!ReadArg(arg, pins, configuration)) {
                return Fail(EFAULT);
            }
            return configuration == -1 || configuration == 0 || configuration == kConfigurationValue
                       ? Ok()
                       : Fail(EINVAL);
        }
        case USBDEVFS_SETINTERFACE: {
            using Set = struct usbdevfs_setinterface;
            UMockdevIoctlData* v = Resolve(arg, 0, sizeof(Set), pins);
            std::uint32_t alternate = 0;
            if (v == nullptr || !ReadNative(v, offsetof(Set, interface), value) ||
                !ReadNative(v, offsetof(Set, altsetting), alternate)) {
                return Fail(EFAULT);
            }
            return value == kInterfaceNumber && alternate == 0 ? Ok() : Fail(EINVAL);
        }
        default:
            return Fail(ENOTTY);
    }
}

Reply UsbfsHandler::Core::Control(UMockdevIoctlData* arg, Pins& pins) {
    using Ctrl = struct usbdevfs_ctrltransfer;
    UMockdevIoctlData* ctrl = Resolve(arg, 0, sizeof(Ctrl), pins);
    ControlSetup setup;
    std::uint32_t timeoutMs = 0;  // none
    if (ctrl == nullptr || !ReadNative(ctrl, offsetof(Ctrl, bRequestType), setup.bmRequestType) ||
        !ReadNative(ctrl, offsetof(Ctrl, bRequest), setup.bRequest) ||
        !ReadNative(ctrl, offsetof(Ctrl, wValue), setup.wValue) ||
        !ReadNative(ctrl, offsetof(Ctrl, wIndex), setup.wIndex) ||
        !ReadNative(ctrl, offsetof(Ctrl, wLength), setup.wLength) ||
        !ReadNative(ctrl, offsetof(Ctrl, timeout), timeoutMs)) {
        return Fail(EFAULT);
    }
    if (setup.wLength > kMaxControlData) {
        return Fail(EINVAL);
    }
    std::span<std::uint8_t> data;
    if (setup.wLength > 0) {
        UMockdevIoctlData* buffer = Resolve(ctrl, offsetof(Ctrl, data), setup.wLength, pins);
        if (buffer == nullptr) {
            return Fail(EFAULT);
        }
        data = std::span(buffer->data, setup.wLength);
    }
    // What the program's buffer held, for a request it gives up on: the
    // device's data must not reach it then.
    const std::vector<std::uint8_t> before(data.begin(), data.end());
    const TransferResult result = Transfer(setup, data);
    if (result.answer == Answer::Gone) {
        return Fail(ENODEV);
    }
    const std::chrono::microseconds limit = std::chrono::milliseconds(timeoutMs);
    const bool late = timeoutMs != 0 && result.latency > limit;
    if (late) {
        std::copy(before.begin(), before.end(), data.begin());
    }
    Reply reply = late                          ? Fail(ETIMEDOUT)
                  : result.answer == Answer::Ok ? Ok(static_cast<long>(result.actual))
                                                : Fail(EPIPE);
    reply.latency = late ? limit : result.latency;
    return reply;
}

Reply UsbfsHandler::Core::ConnInfoEx(gulong request, UMockdevIoctlData* arg, Pins& pins) {
    using Info = struct usbdevfs_conninfo_ex;
    const std::size_t size = _IOC_SIZE(request);
    if (size == 0) {
        return Fail(EINVAL);
    }
    UMockdevIoctlData* out = Resolve(arg, 0, size, pins);
    if (out == nullptr) {
        return Fail(EFAULT);
    }
    // Filled in full locally, then as much as the caller asked for.
    std::vector<std::uint8_t> info(std::max(size, sizeof(Info)), 0);
    const auto put32 = [&info](std::size_t offset, std::uint32_t v) {
        std::memcpy(info.data() + offset, &v, sizeof v);
    };
    put32(offsetof(Info, size), static_cast<std::uint32_t>(sizeof(Info)));
    put32(offsetof(Info, busnum), address.bus);
    put32(offsetof(Info, devnum), address.device);
    put32(offsetof(Info, speed), kSpeedHigh);
    info[offsetof(Info, num_ports)] = 1;
    info[offsetof(Info, ports)] = address.port;
    std::memcpy(out->data, info.data(), size);
    return Ok();
}

TransferResult UsbfsHandler::Core::Transfer(const ControlSetup& setup,
                                            std::span<std::uint8_t> data) {
    if ((setup.bmRequestType & USB_TYPE_MASK) == USB_TYPE_STANDARD) {
        return Standard(setup, data);
    }
    const Answer answer = model->Handle(setup, data);
    if (answer == Answer::Gone) {
        if (onGone) {
            onGone();
        }
        // A device that has gone answers nothing, at once.
        return {answer, 0, {}};
    }
    return {answer, answer == Answer::Ok ? data.size() : 0, model->Latency()};
}

// The few standard requests a host may send a device it has enumerated;
// the model only speaks the vendor requests of the flash protocol.
TransferResult UsbfsHandler::Core::Standard(const ControlSetup& setup,
                                            std::span<std::uint8_t> data) const {
    const auto send = [&data](std::span<const std::uint8_t> bytes) {
        const std::size_t n = std::min(bytes.size(), data.size());
        std::copy_n(bytes.begin(), n, data.begin());
        return TransferResult{Answer::Ok, n};
    };
    const bool in = (setup.bmRequestType & USB_DIR_IN) != 0;
    const auto recipient = setup.bmRequestType & USB_RECIP_MASK;
    if (in && recipient == USB_RECIP_DEVICE && setup.bRequest == USB_REQ_GET_DESCRIPTOR) {
        const auto kind = setup.wValue >> 8;
        if (kind == USB_DT_DEVICE) {
            return send(std::span(descriptors).first(kDeviceDescriptorSize));
        }
        if (kind == USB_DT_CONFIG && (setup.wValue & 0xFF) == 0) {
            return send(std::span(descriptors).subspan(kDeviceDescriptorSize));
        }
        if (kind == USB_DT_STRING) {
            const auto text = StringDescriptor(ids, static_cast<std::uint8_t>(setup.wValue));
            if (!text.empty()) {
                return send(text);
            }
        }
    } else if (in && setup.bRequest == USB_REQ_GET_STATUS && setup.wLength == 2) {
        const std::uint8_t status[2] = {0, 0};
        return send(status);
    } else if (in && recipient == USB_RECIP_DEVICE && setup.bRequest == USB_REQ_GET_CONFIGURATION) {
        const std::uint8_t value[1] = {kConfigurationValue};
        return send(value);
    } else if (!in && recipient == USB_RECIP_DEVICE &&
               setup.bRequest == USB_REQ_SET_CONFIGURATION && setup.wLength == 0 &&
               (setup.wValue == 0 || setup.wValue == kConfigurationValue)) {
        return {Answer::Ok, 0};
    }
    return {Answer::Stall, 0};
}

}  // namespace sovra::sim
