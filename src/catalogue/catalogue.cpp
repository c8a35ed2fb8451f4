#include "catalogue/catalogue.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sovra {
namespace {

constexpr const char* kDeviceListName = "Device_list";
constexpr const char* kDeviceName = "Device";
constexpr const char* kFileNameAttr = "File_Name";
constexpr const char* kRevAttr = "REV";
constexpr const char* kDeviceNameAttr = "Device_Name";

// pugixml matches names on every kind of node; only elements are entries.
bool IsElementNamed(const pugi::xml_node& node, const char* name) {
    return node.type() == pugi::node_element && std::strcmp(node.name(), name) == 0;
}

struct FileBytes {
    CatalogueLoad outcome = CatalogueLoad::kComplete;
    std::string message;
    std::vector<char> bytes;
};

// Reads the whole open file, at most kCatalogueMaxBytes of it.
FileBytes ReadOpenFile(std::FILE* file) {
    FileBytes result;
    constexpr std::size_t kChunk = 64 * 1024;
    for (;;) {
        const std::size_t have = result.bytes.size();
        result.bytes.resize(have + kChunk);
        const std::size_t got = std::fread(result.bytes.data() + have, 1, kChunk, file);
        result.bytes.resize(have + got);
        if (result.bytes.size() > kCatalogueMaxBytes) {
            result.outcome = CatalogueLoad::kUnreadable;
            result.message = "larger than " + std::to_string(kCatalogueMaxBytes) + " bytes";
            result.bytes.clear();
            return result;
        }
        if (got < kChunk) {
            if (std::ferror(file) != 0) {
                const int err = errno;
                result.outcome = CatalogueLoad::kUnreadable;
                result.message = err != 0 ? std::strerror(err) : "read error";
                result.bytes.clear();
            }
            return result;
        }
    }
}

}  // namespace

FirmwareCatalogue FirmwareCatalogue::LoadDefault() {
    return LoadFrom(kCatalogueFileName);
}

FirmwareCatalogue FirmwareCatalogue::LoadFrom(const std::string& path) {
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        const int err = errno;
        FirmwareCatalogue catalogue;
        catalogue.outcome_ = CatalogueLoad::kNotOpened;
        catalogue.parseMessage_ = err != 0 ? std::strerror(err) : "cannot open";
        return catalogue;
    }
    errno = 0;
    FileBytes read = ReadOpenFile(file);
    std::fclose(file);
    if (read.outcome != CatalogueLoad::kComplete) {
        FirmwareCatalogue catalogue;
        catalogue.outcome_ = read.outcome;
        catalogue.parseMessage_ = std::move(read.message);
        return catalogue;
    }
    return LoadFromBuffer(read.bytes.data(), read.bytes.size());
}

FirmwareCatalogue FirmwareCatalogue::LoadFromBuffer(const void* data, std::size_t size) {
    FirmwareCatalogue catalogue;
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

}  // namespace sovra
