// A device's ids come from udev unchecked: its sysfs attributes, and the
// PRODUCT property of a hot-plug event. Any bytes must read without a fault,
// and what reads must be what the same ids look like in the other form.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "device/udev_source.h"

namespace {

std::string Product(const sovra::UsbIds& ids) {
    char text[16];
    std::snprintf(text, sizeof text, "%x/%x/%x", unsigned{ids.vendor}, unsigned{ids.product},
                  unsigned{ids.revision});
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sovra;
    const std::string_view raw(reinterpret_cast<const char*>(data), size);

    // The same ids in sysfs form: four digits each, a newline after.
    if (const auto ids = UsbIdsFromProduct(raw)) {
        const auto sysfs = [](std::uint16_t v) {
            char text[8];
            std::snprintf(text, sizeof text, "%04X\n", unsigned{v});
            return std::string(text);
        };
        if (UsbIdsFromProduct(Product(*ids)) != ids ||
            UsbIdsFromSysfs(sysfs(ids->vendor), sysfs(ids->product), sysfs(ids->revision)) != ids) {
            std::abort();
        }
    }

    // Three attribute texts, split at NUL bytes as libudev would end them.
    std::string_view fields[3];
    std::string_view rest = raw;
    for (std::string_view& field : fields) {
        const std::size_t nul = rest.find('\0');
        field = rest.substr(0, nul);
        rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
    }
    if (const auto ids = UsbIdsFromSysfs(fields[0], fields[1], fields[2])) {
        if (UsbIdsFromProduct(Product(*ids)) != ids) {
            std::abort();
        }
    }
    return 0;
}
