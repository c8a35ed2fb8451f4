// A hardware id is text a device (or the platform, also in a hot-plug
// event) hands over unchecked.
// Any bytes must parse without a fault, and what parses must survive a
// round trip through its own rendering; rows built from it must name the
// ids that were read.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "device/device_rules.h"
#include "device/udev_source.h"

namespace {

const char kCatalogue[] =
    R"(<Device_list><Device VID="abc" PID="10"/><Device Device_Name="X" VID="0" PID="0"/>)"
    R"(<Device Device_Name="Y" VID="ffffffff" PID="ffffffff"/></Device_list>)";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sovra;
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const auto ids = ParseHardwareId(raw);
    // A hot-plug event's PRODUCT property is unchecked text as well.
    if (const auto fromProduct = HardwareIdFromProduct(raw);
        fromProduct && !ParseHardwareId(*fromProduct)) {
        std::abort();
    }

    // Normalising twice changes nothing, and the parser sees only that.
    const std::string once = NormaliseHardwareId(raw);
    if (once.size() > kHardwareIdMaxChars || NormaliseHardwareId(once) != once ||
        ParseHardwareId(once) != ids) {
        std::abort();
    }
    if (!ids) {
        return 0;
    }

    const std::string canonical = "USB\\VID_" + RenderHex(ids->vendorId) + "&PID_" +
                                  RenderHex(ids->productId) + "&REV_" + RenderHex(ids->revision);
    if (ParseHardwareId(canonical) != ids) {
        std::abort();
    }

    // The form discovery builds from sysfs holds 16-bit values only.
    if (ids->vendorId <= 0xFFFF && ids->productId <= 0xFFFF && ids->revision <= 0xFFFF) {
        const auto pad = [](std::uint32_t v) {
            std::string s = RenderHex(v);
            return std::string(4 - s.size(), '0') + s + "\n";
        };
        const auto built =
            HardwareIdFromSysfs(pad(ids->vendorId), pad(ids->productId), pad(ids->revision));
        if (!built || ParseHardwareId(*built) != ids) {
            std::abort();
        }
        // The same device's hot-plug event names the same ids.
        const auto fromEvent =
            HardwareIdFromProduct(RenderHex(ids->vendorId) + "/" + RenderHex(ids->productId) + "/" +
                                  RenderHex(ids->revision));
        if (fromEvent != built) {
            std::abort();
        }
    }

    static const FirmwareCatalogue catalogue =
        FirmwareCatalogue::LoadFromBuffer(kCatalogue, sizeof kCatalogue - 1);
    const std::vector<PresentDevice> present = {{"/dev/bus/usb/001/002", std::string(raw)}};
    for (const DeviceRow& row : BuildDeviceRows(catalogue, present)) {
        if (row.entry.vendorId != ids->vendorId || row.entry.productId != ids->productId ||
            row.entry.revision != ids->revision) {
            std::abort();
        }
    }
    return 0;
}
