#pragma once
// A USB device's ids, as sysfs and the kernel's events give them, and as the
// virtual beamformer's descriptors carry them.

#include <cstdint>

namespace sovra {

struct UsbIds {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint16_t revision = 0;  // bcdDevice: bits 8-15 major, 0-7 minor

    friend bool operator==(const UsbIds&, const UsbIds&) = default;
};

}  // namespace sovra
