#pragma once
// Which connected devices the tool can update, and how the device list shows
// them: the hardware-id rules, the catalogue match, the row text and the
// list's order and selection. No platform code here: the GUI, the command
// line and the tests all build their device list through these functions, so
// they agree on every row and on its place.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "catalogue/catalogue.h"

namespace sovra {

// The item data of one device row.
struct DeviceEntry {
    std::uint32_t vendorId = 0;
    std::uint32_t productId = 0;
    std::uint32_t revision = 0;  // bits 8-15 major, 0-7 minor
    std::string path;            // the device node, e.g. /dev/bus/usb/001/002
    std::string serial = {};     // its USB serial number string; empty when it has none

    friend bool operator==(const DeviceEntry&, const DeviceEntry&) = default;
};

// One present device as the platform reports it.
struct PresentDevice {
    std::string path;         // what OpenDeviceControl opens
    std::string hardwareId;   // e.g. "USB\VID_0ABC&PID_0010&REV_0102"
    std::string serial = {};  // USB serial number string, as sysfs shows it; may be empty
};

// A device that arrived or left, as the platform's event describes it.
struct DeviceChange {
    std::string path;         // its device node; empty when the event names none
    std::string hardwareId;   // as PresentDevice's; empty when the event carries no ids
    bool arrived = true;      // plugged in; otherwise unplugged
    std::string serial = {};  // an arrival's, as PresentDevice's
};

// A hardware id is read into a 256-byte buffer: at most this many bytes of
// text, up to the first NUL, are looked at.
inline constexpr std::size_t kHardwareIdMaxChars = 255;

struct HardwareIds {
    std::uint32_t vendorId = 0;
    std::uint32_t productId = 0;
    std::uint32_t revision = 0;

    friend bool operator==(const HardwareIds&, const HardwareIds&) = default;
};

// The text the parser sees: `raw` up to its first NUL, cut to
// kHardwareIdMaxChars bytes, with a-z turned into A-Z.
std::string NormaliseHardwareId(std::string_view raw);

// Reads "USB\VID_%x&PID_%x&REV_%x" from the normalised id with the rules of
// formatted input: literal characters match exactly; each number skips
// leading white space, takes an optional sign and an optional 0X prefix,
// then at least one hexadecimal digit. A minus sign negates modulo 2^32, as
// the C library's conversion does. A number whose value needs more than 32
// bits makes the whole id unusable: wrapping it could turn an unknown
// device into a known one. "0X" not followed by a digit does not match.
// Text after the revision's digits is ignored. All three numbers or none.
std::optional<HardwareIds> ParseHardwareId(std::string_view raw);

// "%x": lower-case hexadecimal, no prefix, no leading zeros, "0" for 0.
std::string RenderHex(std::uint32_t value);

// An id as the command line and the backup file names show it: lower-case
// hexadecimal, at least four digits ("0abc").
std::string IdText(std::uint32_t id);

// Equality of two texts with A-Z and a-z taken as equal; other bytes exact.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// The first Device element (document order) whose VID and PID values equal
// the rendered ids, ignoring case; a null node when none does. An absent
// attribute has the empty value and so never matches.
pugi::xml_node MatchDeviceElement(const FirmwareCatalogue& catalogue, std::uint32_t vendorId,
                                  std::uint32_t productId);

// "<Device_Name or Sovra>, firmware ver. MM.mm", the two revision bytes in
// decimal, at least two digits each.
std::string DeviceRowText(const pugi::xml_node& element, std::uint32_t revision);

struct DeviceRow {
    std::string text;
    DeviceEntry entry;
};

// The list's order: row texts compared byte by byte with A-Z folded to
// a-z; ties go to the device path, then to the exact text.
bool RowBefore(const DeviceRow& a, const DeviceRow& b);

// The rows of every present device whose hardware id parses and whose ids
// the catalogue knows, at most one per device, in the list's order.
std::vector<DeviceRow> BuildDeviceRows(const FirmwareCatalogue& catalogue,
                                       std::span<const PresentDevice> present);

// The device list's behaviour, without a widget: rebuilt from scratch on
// every change that concerns it, row 0 selected after each rebuild when
// there is a row, and Start Update enabled exactly when there is one.
class DeviceList {
  public:
    static constexpr int kNoSelection = -1;

    void Rebuild(const FirmwareCatalogue& catalogue, std::span<const PresentDevice> present);
    // Drops every row (the list's owner is going away).
    void Clear();

    const std::vector<DeviceRow>& Rows() const { return rows_; }
    int Selection() const { return selection_; }
    // The user picks a row; anything outside the list clears the selection.
    void Select(int index);
    // The selected row's entry, or null when nothing valid is selected.
    const DeviceEntry* SelectedEntry() const;
    bool StartUpdateEnabled() const { return !rows_.empty(); }
    // Whether these changes call for a rebuild: a device whose ids the
    // catalogue knows came or went, or a listed device went (in case its
    // event carried no ids). Any other device leaves the list, and the
    // user's selection, alone.
    bool Concerns(const FirmwareCatalogue& catalogue, std::span<const DeviceChange> changes) const;

  private:
    std::vector<DeviceRow> rows_;
    int selection_ = kNoSelection;
};

}  // namespace sovra
