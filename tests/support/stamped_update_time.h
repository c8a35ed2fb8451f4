#pragma once
// The UpdateTime an update stamped into a flash's device-info block; none
// when the flash has no such block or entry.

#include <optional>
#include <span>

#include "flash/image_format.h"
#include "flash/info_area.h"

namespace sovra::testing {

inline std::optional<FileTime> StampedUpdateTime(std::span<const std::uint8_t> flash) {
    const auto record = FindDeviceInfo(flash);
    if (!record) {
        return std::nullopt;
    }
    const ConstInfoArea area = InfoAreaOf(DeviceInfoBlock(flash, *record));
    InfoEntryWalker walker(area);
    while (const auto e = walker.Next()) {
        if (e->IsUpdateTime()) {
            return EntryTime(area, *e);
        }
    }
    return std::nullopt;
}

}  // namespace sovra::testing
