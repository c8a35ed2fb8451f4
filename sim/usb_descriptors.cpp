#include "sim/usb_descriptors.h"

namespace sovra::sim {
namespace {

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

}  // namespace

std::vector<std::uint8_t> BuildDescriptors(const UsbIds& ids) {
    constexpr std::uint8_t kVendorClass = 0xFF;
    constexpr std::uint16_t kConfigTotal = 9 + 9;
    std::vector<std::uint8_t> d;
    d.reserve(kDeviceDescriptorSize + kConfigTotal);
    // Device: USB 2.0, class defined per interface, 64-byte endpoint 0, a
    // serial number string when it has one, one configuration.
    d.insert(d.end(), {18, 0x01});
    PutU16(d, 0x0200);
    d.insert(d.end(), {0x00, 0x00, 0x00, 64});
    PutU16(d, ids.vendor);
    PutU16(d, ids.product);
    PutU16(d, ids.revision);
    d.insert(d.end(), {0, 0, ids.serial ? kSerialStringIndex : std::uint8_t{0}, 1});
    // Configuration: bus-powered, 100 mA.
    d.insert(d.end(), {9, 0x02});
    PutU16(d, kConfigTotal);
    d.insert(d.end(), {1, kConfigurationValue, 0, 0x80, 50});
    // Interface 0: vendor class, no endpoints of its own.
    d.insert(d.end(), {9, 0x04, kInterfaceNumber, 0, 0, kVendorClass, 0, 0, 0});
    return d;
}

std::vector<std::uint8_t> StringDescriptor(const UsbIds& ids, std::uint8_t index) {
    constexpr std::uint8_t kString = 0x03;
    if (index == 0) {
        return {4, kString, 0x09, 0x04};
    }
    if (index != kSerialStringIndex || !ids.serial) {
        return {};
    }
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * ids.serial->size()), kString};
    for (const char c : *ids.serial) {
        PutU16(d, static_cast<std::uint8_t>(c));
    }
    return d;
}

}  // namespace sovra::sim
