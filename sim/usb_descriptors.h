#pragma once
// The standard descriptors of a virtual beamformer: a high-speed device with
// one configuration holding one vendor-class interface and no endpoints
// besides endpoint 0, which carries every flash request.

#include <cstdint>
#include <span>
#include <vector>

#include "device/usb_ids.h"

namespace sovra::sim {

inline constexpr std::size_t kDeviceDescriptorSize = 18;
inline constexpr std::uint8_t kConfigurationValue = 1;
inline constexpr std::uint8_t kInterfaceNumber = 0;

// The device descriptor followed by the configuration descriptor and its
// interface descriptor, in wire order (little endian), as the kernel shows
// them in sysfs and in the device node.
std::vector<std::uint8_t> BuildDescriptors(const UsbIds& ids);

// The parts of that block a GET_DESCRIPTOR request asks for.
std::span<const std::uint8_t> DeviceDescriptor(std::span<const std::uint8_t> descriptors);
std::span<const std::uint8_t> ConfigurationDescriptor(std::span<const std::uint8_t> descriptors);

}  // namespace sovra::sim
