#pragma once
// The entry area of a device-info block: the last 128 bytes of the 256, in
// which the device keeps small typed entries, two of them time stamps the
// update maintains.
//
//   byte 0  header length, 4
//   byte 1  version, 1
//   byte 2  used length: bytes in use, header included; valid from 5 to 127
//   byte 3  not interpreted, never written
//   byte 4  entries: length (header bytes included), type, payload
//
// Bounds, for areas that are valid by their header but not well formed:
// - The walk ends at an entry shorter than its own two header bytes
//   (length 0 or 1) and at an entry that reaches past the used length
//   (the used length is below 128, so also past the area). Entries before
//   it are still seen; the break and everything after it are left alone.
// - Entries of type 10 or 11 at least 10 bytes long are time stamps: the
//   time is in the first 8 payload bytes, and any bytes after them are
//   kept as they are. A shorter one is a foreign entry, stepped over and
//   never written: 8 bytes of time would run into the entry after it.
// - An entry is appended only when the walk reached the used length
//   cleanly (otherwise the new entry would sit behind a break no reader
//   gets past, or inside bytes a broken entry claims), and only when the
//   used length afterwards is still a valid one (at most 127). An append
//   that would not fit is not made; nothing already in the area is moved,
//   cut or dropped, and nothing is written past the area.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "app/filetime.h"

namespace sovra {

inline constexpr std::size_t InfoAreaOffset = 128;  // within the 256-byte block
inline constexpr std::size_t InfoAreaSize = 128;
inline constexpr std::uint8_t InfoHeaderLength = 4;
inline constexpr std::uint8_t InfoVersion = 1;
inline constexpr std::uint8_t InfoMinUsed = 5;
inline constexpr std::uint8_t InfoMaxUsed = 127;
inline constexpr std::uint8_t KeptTimeType = 10;
inline constexpr std::uint8_t UpdateTimeType = 11;
inline constexpr std::uint8_t TimeEntryLength = 10;
// The used length of the area the merge writes when the old one is invalid:
// header, KeptTime at 4, UpdateTime at 14.
inline constexpr std::uint8_t FreshInfoUsed = 24;

using InfoArea = std::span<std::uint8_t, InfoAreaSize>;
using ConstInfoArea = std::span<const std::uint8_t, InfoAreaSize>;

inline InfoArea InfoAreaOf(std::span<std::uint8_t, 256> block) {
    return block.subspan<InfoAreaOffset, InfoAreaSize>();
}
inline ConstInfoArea InfoAreaOf(std::span<const std::uint8_t, 256> block) {
    return block.subspan<InfoAreaOffset, InfoAreaSize>();
}

bool IsValidInfoArea(ConstInfoArea area);

struct InfoEntry {
    std::uint8_t offset = 0;
    std::uint8_t length = 0;
    std::uint8_t type = 0;

    bool IsKeptTime() const { return type == KeptTimeType && length >= TimeEntryLength; }
    bool IsUpdateTime() const { return type == UpdateTimeType && length >= TimeEntryLength; }
};

// Walks the entries of a valid area from offset 4 up to the used length as
// it stands when the walker is made. An invalid area has no entries.
class InfoEntryWalker {
  public:
    explicit InfoEntryWalker(ConstInfoArea area);

    std::optional<InfoEntry> Next();
    // True once the walk has reached the used length exactly; false while it
    // is under way and after it stopped at a malformed entry.
    bool Complete() const { return complete_; }

  private:
    ConstInfoArea area_;
    std::uint8_t used_ = 0;
    std::uint8_t offset_ = InfoHeaderLength;
    bool done_ = false;
    bool complete_ = false;
};

// The time in a time-stamp entry's first 8 payload bytes.
FileTime EntryTime(ConstInfoArea area, const InfoEntry& entry);

// The value of the last KeptTime (UpdateTime) entry of a valid area, if any.
std::optional<FileTime> LastKeptTime(ConstInfoArea area);
std::optional<FileTime> LastUpdateTime(ConstInfoArea area);

// Appends an entry at the used length, if the area is valid, its walk is
// complete and the used length afterwards stays at most 127; false (and
// nothing written) otherwise.
bool AppendInfoEntry(InfoArea area, std::uint8_t type, std::span<const std::uint8_t> payload);
// The same for a time-stamp entry of `type` holding `time`.
bool AppendTimeEntry(InfoArea area, std::uint8_t type, FileTime time);

// Header, KeptTime `kept` at 4, UpdateTime `now` at 14, used length 24.
// Byte 3 and bytes 24 to 127 keep what they held.
void WriteFreshInfoArea(InfoArea area, FileTime kept, FileTime now);

// What an update does to the area it writes: an invalid area becomes a
// fresh one; in a valid one every UpdateTime entry gets `now` (one is
// appended when there is none), and a KeptTime entry `kept` is appended
// when there is none. An existing KeptTime is never changed.
void StampInfoArea(InfoArea area, FileTime kept, FileTime now);

}  // namespace sovra
