#include "catalogue/catalogue.h"

#include <cstdint>
#include <cstring>

#include "app/files.h"
#include "catalogue/catalogue_location.h"

namespace sovra {
namespace {

constexpr const char* kDeviceListName = "Device_list";
constexpr const char* kDeviceName = "Device";
constexpr const char* kFileNameAttr = "File_Name";
constexpr const char* kRevAttr = "REV";
constexpr const char* kDeviceNameAttr = "Device_Name";
constexpr const char* kSha256Attr = "SHA256";

// pugixml matches names on every kind of node; only elements are entries.
bool IsElementNamed(const pugi::xml_node& node, const char* name) {
    return node.type() == pugi::node_element && std::strcmp(node.name(), name) == 0;
}

}  // namespace

FirmwareCatalogue FirmwareCatalogue::LoadDefault() {
    if (const std::optional<CatalogueLocation> found = LocateCatalogue()) {
        return LoadFrom(found->path);
    }
    FirmwareCatalogue none;
    none.outcome_ = CatalogueLoad::kNotFound;
    return none;
}

FirmwareCatalogue FirmwareCatalogue::LoadFrom(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    std::string reason;
    const ReadFailure failure = ReadRegularFileWithReason(path, kCatalogueMaxBytes, bytes, reason);
    FirmwareCatalogue catalogue;
    if (failure != ReadFailure::kNone) {
        catalogue.outcome_ =
            failure == ReadFailure::kOpen ? CatalogueLoad::kNotOpened : CatalogueLoad::kUnreadable;
        catalogue.parseMessage_ = std::move(reason);
    } else {
        catalogue = LoadFromBuffer(bytes.data(), bytes.size());
    }
    const CatalogueLocation location = CatalogueLocationOf(path);
    catalogue.path_ = location.path;
    catalogue.firmwareFolder_ = location.firmwareFolder;
    return catalogue;
}

FirmwareCatalogue FirmwareCatalogue::LoadFromBuffer(const void* data, std::size_t size) {
    FirmwareCatalogue catalogue;
    const auto* first = static_cast<const std::uint8_t*>(data);
    catalogue.bytes_ = std::make_shared<const std::vector<std::uint8_t>>(first, first + size);
    // The result only feeds the warning: a document that is not well-formed
    // is used as far as the parser got, as if the file had ended there.
    const pugi::xml_parse_result result =
        catalogue.doc_->load_buffer(data, size, pugi::parse_default, pugi::encoding_auto);
    if (result) {
        catalogue.outcome_ = CatalogueLoad::kComplete;
    } else {
        catalogue.outcome_ = CatalogueLoad::kMalformed;
        catalogue.parseOffset_ = result.offset;
        catalogue.parseMessage_ =
            std::string(result.description()) + " at offset " + std::to_string(result.offset);
    }
    return catalogue;
}

pugi::xml_node FirmwareCatalogue::FirstDeviceList() const {
    for (const pugi::xml_node& node : doc_->children()) {
        if (IsElementNamed(node, kDeviceListName)) {
            return node;
        }
    }
    return {};
}

std::vector<pugi::xml_node> FirmwareCatalogue::DeviceElements() const {
    std::vector<pugi::xml_node> devices;
    for (const pugi::xml_node& node : FirstDeviceList().children()) {
        if (IsElementNamed(node, kDeviceName)) {
            devices.push_back(node);
        }
    }
    return devices;
}

bool AttributePresent(const pugi::xml_node& element, const char* name) {
    return name != nullptr && !element.attribute(name).empty();
}

std::string AttributeValue(const pugi::xml_node& element, const char* name) {
    if (name == nullptr) {
        return {};
    }
    return element.attribute(name).value();
}

std::vector<FirmwareChoice> FirmwareChoices(const FirmwareCatalogue& catalogue) {
    std::vector<FirmwareChoice> choices;
    for (const pugi::xml_node& device : catalogue.DeviceElements()) {
        if (!AttributePresent(device, kFileNameAttr) || !AttributePresent(device, kRevAttr)) {
            continue;
        }
        auto entry = std::make_unique<FirmwareEntry>();
        entry->fileName = AttributeValue(device, kFileNameAttr);
        entry->deviceName = AttributeValue(device, kDeviceNameAttr);
        entry->version = AttributeValue(device, kRevAttr);
        entry->path = ResolveFirmwarePath(catalogue.FirmwareFolder(), entry->fileName);
        if (AttributePresent(device, kSha256Attr)) {
            entry->sha256 = AttributeValue(device, kSha256Attr);
        }
        // An empty Device_Name is a name too: only a missing one falls back.
        const std::string displayName =
            AttributePresent(device, kDeviceNameAttr) ? entry->deviceName : kDefaultDisplayName;
        FirmwareChoice choice;
        choice.text = displayName + ", firmware ver. " + entry->version;
        choice.entry = std::move(entry);
        choices.push_back(std::move(choice));
    }
    return choices;
}

PinCheck CheckPinnedDigest(const FirmwareEntry& entry, const Sha256Digest& fileDigest) {
    if (!entry.sha256) {
        return PinCheck::kNotPinned;
    }
    const std::optional<Sha256Digest> pinned = ParseSha256(*entry.sha256);
    if (!pinned) {
        return PinCheck::kMalformed;
    }
    return *pinned == fileDigest ? PinCheck::kMatches : PinCheck::kMismatch;
}

}  // namespace sovra
