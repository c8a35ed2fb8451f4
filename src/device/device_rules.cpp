#include "device/device_rules.h"

#include <algorithm>
#include <cstdio>

namespace sovra {
namespace {

unsigned char ToLowerAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

std::string TwoDigits(std::uint32_t v) {
    std::string s = std::to_string(v);
    if (s.size() < 2) {
        s.insert(0, 2 - s.size(), '0');
    }
    return s;
}

// "<Device_Name or Sovra>, firmware ver. MM.mm", the two revision bytes in
// decimal, at least two digits each.
std::string RowText(const CatalogueDevice& device, std::uint32_t revision) {
    return device.DisplayName() + ", firmware ver. " + TwoDigits((revision >> 8) & 0xFFu) + '.' +
           TwoDigits(revision & 0xFFu);
}

}  // namespace

std::string IdText(std::uint32_t id) {
    char text[9];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id));
    return text;
}

bool RowBefore(const DeviceRow& a, const DeviceRow& b) {
    const auto fold = [](char x, char y) {
        return ToLowerAscii(static_cast<unsigned char>(x)) <
               ToLowerAscii(static_cast<unsigned char>(y));
    };
    if (std::lexicographical_compare(a.text.begin(), a.text.end(), b.text.begin(), b.text.end(),
                                     fold)) {
        return true;
    }
    if (std::lexicographical_compare(b.text.begin(), b.text.end(), a.text.begin(), a.text.end(),
                                     fold)) {
        return false;
    }
    if (a.entry.path != b.entry.path) {
        return a.entry.path < b.entry.path;
    }
    return a.text < b.text;
}

std::vector<DeviceRow> BuildDeviceRows(const FirmwareCatalogue& catalogue,
                                       std::span<const PresentDevice> present) {
    std::vector<DeviceRow> rows;
    for (const PresentDevice& device : present) {
        const UsbIds& ids = device.ids;
        if (const CatalogueDevice* known = catalogue.FindDevice(ids.vendor, ids.product)) {
            rows.push_back({RowText(*known, ids.revision),
                            {ids.vendor, ids.product, ids.revision, device.path, device.serial}});
        }
    }
    std::sort(rows.begin(), rows.end(), RowBefore);
    return rows;
}

void DeviceList::Rebuild(const FirmwareCatalogue& catalogue,
                         std::span<const PresentDevice> present) {
    Clear();
    rows_ = BuildDeviceRows(catalogue, present);
    selection_ = rows_.empty() ? kNoSelection : 0;
}

void DeviceList::Clear() {
    rows_.clear();
    selection_ = kNoSelection;
}

void DeviceList::Select(int index) {
    selection_ =
        (index >= 0 && static_cast<std::size_t>(index) < rows_.size()) ? index : kNoSelection;
}

bool DeviceList::Concerns(const FirmwareCatalogue& catalogue,
                          std::span<const DeviceChange> changes) const {
    return std::any_of(changes.begin(), changes.end(), [&](const DeviceChange& change) {
        if (change.ids && catalogue.FindDevice(change.ids->vendor, change.ids->product)) {
            return true;
        }
        return !change.path.empty() &&
               std::any_of(rows_.begin(), rows_.end(),
                           [&](const DeviceRow& row) { return row.entry.path == change.path; });
    });
}

const DeviceEntry* DeviceList::SelectedEntry() const {
    if (selection_ < 0 || static_cast<std::size_t>(selection_) >= rows_.size()) {
        return nullptr;
    }
    return &rows_[static_cast<std::size_t>(selection_)].entry;
}

}  // namespace sovra
