#include "flash/info_area.h"

#include <array>

#include "flash/image_format.h"

namespace sovra {
namespace {

constexpr std::size_t kUsedByte = 2;

}  // namespace

bool IsValidInfoArea(ConstInfoArea area) {
    return area[0] == InfoHeaderLength && area[1] == InfoVersion &&
           area[kUsedByte] >= InfoMinUsed && area[kUsedByte] <= InfoMaxUsed;
}

InfoEntryWalker::InfoEntryWalker(ConstInfoArea area) : area_(area) {
    if (IsValidInfoArea(area)) {
        used_ = area[kUsedByte];
    } else {
        done_ = true;
    }
}

std::optional<InfoEntry> InfoEntryWalker::Next() {
    if (done_) {
        return std::nullopt;
    }
    if (offset_ >= used_) {
        // Only an exact landing on the used length is a clean end; the last
        // entry cannot overshoot it, since that is refused below.
        done_ = true;
        complete_ = offset_ == used_;
        return std::nullopt;
    }
    // offset_ < used_ <= 127, so both header bytes lie inside the area.
    InfoEntry e;
    e.offset = offset_;
    e.length = area_[offset_];
    e.type = area_[offset_ + 1u];
    if (e.length < 2 || e.length > used_ - offset_) {
        done_ = true;
        return std::nullopt;
    }
    offset_ = static_cast<std::uint8_t>(offset_ + e.length);
    return e;
}

FileTime EntryTime(ConstInfoArea area, const InfoEntry& entry) {
    // Time entries are at least 10 bytes and end at or before the used
    // length, so the 8 bytes lie inside the entry and the area.
    return Get64(area, std::size_t{entry.offset} + 2);
}

namespace {

std::optional<FileTime> LastTime(ConstInfoArea area, bool kept) {
    std::optional<FileTime> time;
    InfoEntryWalker walker(area);
    while (const auto e = walker.Next()) {
        if (kept ? e->IsKeptTime() : e->IsUpdateTime()) {
            time = EntryTime(area, *e);
        }
    }
    return time;
}

}  // namespace

std::optional<FileTime> LastKeptTime(ConstInfoArea area) {
    return LastTime(area, true);
}

std::optional<FileTime> LastUpdateTime(ConstInfoArea area) {
    return LastTime(area, false);
}

bool AppendInfoEntry(InfoArea area, std::uint8_t type, std::span<const std::uint8_t> payload) {
    InfoEntryWalker walker(area);
    while (walker.Next()) {
    }
    if (!walker.Complete()) {
        return false;
    }
    const std::size_t used = area[kUsedByte];
    const std::size_t length = payload.size() + 2;
    // A used length above 127 would make the area invalid, and the next
    // update would replace it, losing every entry the device keeps there.
    if (length > InfoMaxUsed - used) {
        return false;
    }
    area[used] = static_cast<std::uint8_t>(length);
    area[used + 1] = type;
    for (std::size_t k = 0; k < payload.size(); ++k) {
        area[used + 2 + k] = payload[k];
    }
    area[kUsedByte] = static_cast<std::uint8_t>(used + length);
    return true;
}

bool AppendTimeEntry(InfoArea area, std::uint8_t type, FileTime time) {
    std::array<std::uint8_t, 8> payload{};
    Put64(payload, 0, time);
    return AppendInfoEntry(area, type, payload);
}

void WriteFreshInfoArea(InfoArea area, FileTime kept, FileTime now) {
    area[0] = InfoHeaderLength;
    area[1] = InfoVersion;
    area[kUsedByte] = FreshInfoUsed;
    area[4] = TimeEntryLength;
    area[5] = KeptTimeType;
    Put64(area, 6, kept);
    area[14] = TimeEntryLength;
    area[15] = UpdateTimeType;
    Put64(area, 16, now);
}

void StampInfoArea(InfoArea area, FileTime kept, FileTime now) {
    if (!IsValidInfoArea(area)) {
        WriteFreshInfoArea(area, kept, now);
        return;
    }
    bool updated = false;
    InfoEntryWalker walker(area);
    while (const auto e = walker.Next()) {
        if (e->IsUpdateTime()) {
            Put64(area, std::size_t{e->offset} + 2, now);
            updated = true;
        }
    }
    if (!updated) {
        AppendTimeEntry(area, UpdateTimeType, now);
    }
    // Looked for after the UpdateTime append, so a missing KeptTime lands
    // behind it.
    bool hasKept = false;
    InfoEntryWalker keptWalker(area);
    while (const auto e = keptWalker.Next()) {
        hasKept = hasKept || e->IsKeptTime();
    }
    if (!hasKept) {
        AppendTimeEntry(area, KeptTimeType, kept);
    }
}

}  // namespace sovra
