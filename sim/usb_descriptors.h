#pragma once
// The standard descriptors of a virtual beamformer: a high-speed device with
// one configuration holding one vendor-class interface and no endpoints
// besides endpoint 0, which carries every flash request.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/usb_ids.h"

namespace sovra::sim {

// A virtual device's ids, and the serial number string descriptor's text
// (printable ASCII); no serial: the device has none.
struct UsbIds : sovra::UsbIds {
    std::optional<std::string> serial = {};
};

inline constexpr std::size_t kDeviceDescriptorSize = 18;
inline constexpr std::uint8_t kConfigurationValue = 1;
inline constexpr std::uint8_t kInterfaceNumber = 0;

// The device descriptor (kDeviceDescriptorSize bytes) followed by the
// configuration descriptor and its interface descriptor, in wire order
// (little endian), as the kernel shows them in sysfs and in the device node.
std::vector<std::uint8_t> BuildDescriptors(const UsbIds& ids);

// String descriptor `index` as GET_DESCRIPTOR answers it: 0 the language
// list (US English), the serial number's index its text in UTF-16LE; empty
// for any other.
std::vector<std::uint8_t> StringDescriptor(const UsbIds& ids, std::uint8_t index);
inline constexpr std::uint8_t kSerialStringIndex = 3;

}  // namespace sovra::sim
