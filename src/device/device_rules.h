#pragma once
// Which connected devices the tool can update, and how the device list shows
// them: the catalogue match, the row text and the
// list's order and selection. No platform code here: the GUI, the command
// line and the tests all build their device list through these functions, so
// they agree on every row and on its place.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "device/usb_ids.h"

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
    std::string path;  // what OpenDeviceControl opens
    UsbIds ids;
    std::string serial = {};  // USB serial number string, as sysfs shows it; may be empty
};

// A device that arrived or left, as the platform's event describes it.
struct DeviceChange {
    std::string path;           // its device node; empty when the event names none
    std::optional<UsbIds> ids;  // none when the event carries no readable ids
    bool arrived = true;        // plugged in; otherwise unplugged
    std::string serial = {};    // an arrival's, as PresentDevice's
};

// An id as the command line and the backup file names show it: lower-case
// hexadecimal, at least four digits ("0abc").
std::string IdText(std::uint32_t id);

struct DeviceRow {
    std::string text;
    DeviceEntry entry;
};

// The list's order: row texts compared byte by byte with A-Z folded to
// a-z; ties go to the device path, then to the exact text.
bool RowBefore(const DeviceRow& a, const DeviceRow& b);

// The rows of every present device whose ids the catalogue knows, one per
// device, in the list's order.
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
