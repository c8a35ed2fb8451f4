#pragma once
// FirmwareUpdate.xml: the firmware choices on offer and the device models
// the program knows. Loaded once; never changed or written back.

#include <memory>
#include <string>
#include <vector>

#include <pugixml.hpp>

namespace sovra {

inline constexpr const char* kCatalogueFileName = "FirmwareUpdate.xml";

class FirmwareCatalogue {
public:
    // An empty catalogue.
    FirmwareCatalogue() = default;

    // "FirmwareUpdate.xml" in the current directory.
    static FirmwareCatalogue LoadDefault();
    // Any path (the command line's --catalogue). A missing, unreadable or
    // malformed file leaves what the parser kept, possibly nothing.
    static FirmwareCatalogue LoadFrom(const std::string& path);

    // The first top-level element named Device_list, or a null node.
    pugi::xml_node FirstDeviceList() const;
    // Its direct children named Device, in document order.
    std::vector<pugi::xml_node> DeviceElements() const;

    // How the load went, for callers that want to warn (the GUI does not).
    bool ParsedCompletely() const { return parsedOk_; }
    const std::string& ParseMessage() const { return parseMessage_; }

private:
    std::shared_ptr<pugi::xml_document> doc_ = std::make_shared<pugi::xml_document>();
    bool parsedOk_ = false;
    std::string parseMessage_;
};

// Attribute lookups by exact name; the first attribute of that name counts.
bool AttributePresent(const pugi::xml_node& element, const char* name);
// Its value, or the empty text when absent.
std::string AttributeValue(const pugi::xml_node& element, const char* name);

struct FirmwareEntry {
    std::string fileName;    // File_Name
    std::string deviceName;  // Device_Name, empty when absent
    std::string version;     // REV
};

struct FirmwareChoice {
    std::string text;  // e.g. "Beamformer 100, firmware ver. 01.02"
    std::unique_ptr<FirmwareEntry> entry;
};

// One row per Device element that has both File_Name and REV, in document
// order.
std::vector<FirmwareChoice> FirmwareChoices(const FirmwareCatalogue& catalogue);

}  // namespace sovra
