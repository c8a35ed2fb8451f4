// The catalogue is the one file a user hands the program unchecked: any
// bytes must load without a fault, and every row must still be built from
// its own entry.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "catalogue/catalogue.h"

namespace {

bool RendersAs(std::uint16_t id, std::string text) {
    char rendered[8];
    std::snprintf(rendered, sizeof rendered, "%x", unsigned{id});
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text == rendered;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const sovra::FirmwareCatalogue catalogue = sovra::FirmwareCatalogue::LoadFromBuffer(data, size);

    for (const sovra::FirmwareChoice& choice : sovra::FirmwareChoices(catalogue)) {
        if (choice.entry == nullptr) {
            std::abort();
        }
        // The name is the entry's own, or the default when it has none.
        const std::string tail = ", firmware ver. " + choice.entry->version;
        const bool ownName = choice.text == choice.entry->deviceName + tail;
        const bool defaultName =
            choice.entry->deviceName.empty() && choice.text == sovra::kDefaultDisplayName + tail;
        if (!ownName && !defaultName) {
            std::abort();
        }
        // A pin that reads as a digest matches exactly the digest it spells.
        if (choice.entry->sha256) {
            const auto pinned = sovra::ParseSha256(*choice.entry->sha256);
            const sovra::Sha256Digest zero{};
            const sovra::PinCheck check = sovra::CheckPinnedDigest(*choice.entry, zero);
            if (!pinned ? check != sovra::PinCheck::kMalformed
                        : (check == sovra::PinCheck::kMatches) != (*pinned == zero) ||
                              sovra::CheckPinnedDigest(*choice.entry, *pinned) !=
                                  sovra::PinCheck::kMatches) {
                std::abort();
            }
        }
    }
    // An id reads only from the one text "%x" renders it as (either case),
    // and a device with those ids is listed under the first entry naming them.
    for (const sovra::CatalogueDevice& device : catalogue.Devices()) {
        const auto vid = sovra::ReadUsbId(device.vid.value_or(""));
        const auto pid = sovra::ReadUsbId(device.pid.value_or(""));
        if (vid && !RendersAs(*vid, *device.vid)) {
            std::abort();
        }
        if (vid && pid) {
            const sovra::CatalogueDevice* found = catalogue.FindDevice(*vid, *pid);
            if (found == nullptr || found > &device) {
                std::abort();
            }
        }
    }
    return 0;
}
