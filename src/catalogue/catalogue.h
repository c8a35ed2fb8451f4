#pragma once
// FirmwareUpdate.xml: the firmware choices on offer and the device models
// the program knows. Loaded once; never changed or written back.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/sha256.h"

namespace sovra {

inline constexpr const char* kCatalogueFileName = "FirmwareUpdate.xml";

// A real catalogue is a few kilobytes; anything past this is not one, and
// reading it whole would only cost memory (or never end, for a device file).
inline constexpr std::size_t kCatalogueMaxBytes = 16u * 1024u * 1024u;

// How a load ended. Only the command line looks at it: the desktop
// application uses whatever the parser kept, without a word.
enum class CatalogueLoad {
    kComplete,    // parsed to the end
    kMalformed,   // not well-formed; the tree holds what was read before the error
    kNotOpened,   // the file could not be opened (missing, no permission)
    kUnreadable,  // not a regular file (a folder, a pipe), an I/O error, too large
    kNotFound,    // LoadDefault: nothing at any place of the look-up
};

// The name a row shows when its Device element has no Device_Name.
inline constexpr const char* kDefaultDisplayName = "Sovra";

// One direct Device child of the first top-level Device_list: the attributes
// the program reads, each the first of its name, none when the element has
// no such attribute (an empty value is still a value).
struct CatalogueDevice {
    std::optional<std::string> name;      // Device_Name
    std::optional<std::string> vid;       // VID, as written
    std::optional<std::string> pid;       // PID, as written
    std::optional<std::string> fileName;  // File_Name
    std::optional<std::string> rev;       // REV
    std::optional<std::string> sha256;    // SHA256

    // Device_Name, or kDefaultDisplayName when there is none.
    std::string DisplayName() const { return name ? *name : kDefaultDisplayName; }
};

// The id a VID or PID value stands for. A device's id is compared with the
// value as "%x" renders it, ignoring case, so only 1 to 4 hexadecimal
// digits without a leading zero ("0" alone for zero) can ever match; any
// other text ("0abc", "0x10", " 10", "12345", "") is no id.
std::optional<std::uint16_t> ReadUsbId(std::string_view text);

class FirmwareCatalogue {
  public:
    // An empty catalogue.
    FirmwareCatalogue() = default;

    // The catalogue LocateCatalogue finds (catalogue_location.h), or an
    // empty one, kNotFound, when there is none.
    static FirmwareCatalogue LoadDefault();
    // Any path (a command-line argument). A missing, unreadable or
    // malformed file leaves what the parser kept, possibly nothing.
    static FirmwareCatalogue LoadFrom(const std::string& path);
    // The bytes of a catalogue file already in memory (tests, fuzzing).
    static FirmwareCatalogue LoadFromBuffer(const void* data, std::size_t size);

    // Every Device element, in document order.
    const std::vector<CatalogueDevice>& Devices() const { return devices_; }
    // The first Device whose VID and PID read as these ids; null when none
    // does. Valid as long as this catalogue lives.
    const CatalogueDevice* FindDevice(std::uint16_t vendorId, std::uint16_t productId) const;

    // How the load went, for callers that want to warn (the GUI does not).
    bool ParsedCompletely() const { return outcome_ == CatalogueLoad::kComplete; }
    CatalogueLoad Outcome() const { return outcome_; }
    // Empty after a complete parse; otherwise why not, without the file
    // name: "Start-end tags mismatch at offset 120", "No such file or
    // directory".
    const std::string& ParseMessage() const { return parseMessage_; }
    // For kMalformed: where the parser stopped, in bytes of its UTF-8 text.
    std::ptrdiff_t ParseOffset() const { return parseOffset_; }

    // The file it was loaded from (empty from a buffer or when none was
    // found), and the folder its relative File_Names are read from (empty:
    // the working folder).
    const std::string& Path() const { return path_; }
    const std::string& FirmwareFolder() const { return firmwareFolder_; }
    // The bytes the document was parsed from: a signature is checked over
    // these, never over the file read again.
    const std::vector<std::uint8_t>& Bytes() const { return *bytes_; }

  private:
    std::vector<CatalogueDevice> devices_;
    // The bytes parsed, kept for the signature check; copies share them.
    std::shared_ptr<const std::vector<std::uint8_t>> bytes_ =
        std::make_shared<const std::vector<std::uint8_t>>();
    CatalogueLoad outcome_ = CatalogueLoad::kNotOpened;
    std::string parseMessage_;
    std::ptrdiff_t parseOffset_ = 0;
    std::string path_;
    std::string firmwareFolder_;
};

struct FirmwareEntry {
    std::string fileName;    // File_Name
    std::string deviceName;  // Device_Name, empty when absent
    std::string version;     // REV
    // The file to open: File_Name resolved against the catalogue's folder.
    std::string path;
    // SHA256 as written, when the Device element has one: the one file this
    // entry may send to a device.
    std::optional<std::string> sha256;
};

// What an entry says of a firmware file's digest.
enum class PinCheck {
    kNotPinned,  // no SHA256: any file will do, as ever
    kMatches,
    kMismatch,   // another file than the one the catalogue names
    kMalformed,  // SHA256 is not 64 hexadecimal digits: nothing can match it
};
PinCheck CheckPinnedDigest(const FirmwareEntry& entry, const Sha256Digest& fileDigest);

struct FirmwareChoice {
    std::string text;  // e.g. "Beamformer 100, firmware ver. 01.02"
    std::unique_ptr<FirmwareEntry> entry;
};

// One row per Device element that has both File_Name and REV, in document
// order.
std::vector<FirmwareChoice> FirmwareChoices(const FirmwareCatalogue& catalogue);

}  // namespace sovra
