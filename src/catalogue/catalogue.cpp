#include "catalogue/catalogue.h"

#include <cstdint>
#include <cstring>

#include <pugixml.hpp>

#include "app/files.h"
#include "app/hex.h"
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

std::optional<std::string> Attribute(const pugi::xml_node& element, const char* name) {
    const pugi::xml_attribute attribute = element.attribute(name);
    return attribute.empty() ? std::nullopt : std::optional<std::string>(attribute.value());
}

// The direct Device children of the first top-level Device_list, which is
// all of the document the program ever reads.
std::vector<CatalogueDevice> ReadDevices(const pugi::xml_document& doc) {
    std::vector<CatalogueDevice> devices;
    for (const pugi::xml_node& list : doc.children()) {
        if (!IsElementNamed(list, kDeviceListName)) {
            continue;
        }
        for (const pugi::xml_node& node : list.children()) {
            if (IsElementNamed(node, kDeviceName)) {
                devices.push_back({Attribute(node, kDeviceNameAttr), Attribute(node, "VID"),
                                   Attribute(node, "PID"), Attribute(node, kFileNameAttr),
                                   Attribute(node, kRevAttr), Attribute(node, kSha256Attr)});
            }
        }
        break;
    }
    return devices;
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
    pugi::xml_document doc;
    // The result only feeds the warning: a document that is not well-formed
    // is used as far as the parser got, as if the file had ended there.
    const pugi::xml_parse_result result =
        doc.load_buffer(data, size, pugi::parse_default, pugi::encoding_auto);
    if (result) {
        catalogue.outcome_ = CatalogueLoad::kComplete;
    } else {
        catalogue.outcome_ = CatalogueLoad::kMalformed;
        catalogue.parseOffset_ = result.offset;
        catalogue.parseMessage_ =
            std::string(result.description()) + " at offset " + std::to_string(result.offset);
    }
    catalogue.devices_ = ReadDevices(doc);
    return catalogue;
}

std::optional<std::uint16_t> ReadUsbId(std::string_view text) {
    if (text.empty() || text.size() > 4 || (text.size() > 1 && text.front() == '0')) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : text) {
        const int d = HexDigitValue(c);
        if (d < 0) {
            return std::nullopt;
        }
        value = (value << 4) | static_cast<unsigned>(d);
    }
    return static_cast<std::uint16_t>(value);
}

const CatalogueDevice* FirmwareCatalogue::FindDevice(std::uint16_t vendorId,
                                                     std::uint16_t productId) const {
    for (const CatalogueDevice& device : devices_) {
        if (device.vid && device.pid && ReadUsbId(*device.vid) == vendorId &&
            ReadUsbId(*device.pid) == productId) {
            return &device;
        }
    }
    return nullptr;
}

std::vector<FirmwareChoice> FirmwareChoices(const FirmwareCatalogue& catalogue) {
    std::vector<FirmwareChoice> choices;
    for (const CatalogueDevice& device : catalogue.Devices()) {
        if (!device.fileName || !device.rev) {
            continue;
        }
        auto entry = std::make_unique<FirmwareEntry>();
        entry->fileName = *device.fileName;
        entry->deviceName = device.name.value_or("");
        entry->version = *device.rev;
        entry->path = ResolveFirmwarePath(catalogue.FirmwareFolder(), entry->fileName);
        entry->sha256 = device.sha256;
        FirmwareChoice choice;
        // An empty Device_Name is a name too: only a missing one falls back.
        choice.text = device.DisplayName() + ", firmware ver. " + entry->version;
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
