// The catalogue is the one file a user hands the program unchecked: any
// bytes must load without a fault, and every row must still be built from
// its own entry.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "catalogue/catalogue.h"

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
    // What the device matching reads from every entry.
    for (const pugi::xml_node& device : catalogue.DeviceElements()) {
        if (!sovra::AttributePresent(device, "VID") &&
            !sovra::AttributeValue(device, "VID").empty()) {
            std::abort();
        }
        (void)sovra::AttributeValue(device, "PID");
    }
    return 0;
}
