#pragma once
// Entry areas written out by hand, for tests of the area rules and of the
// merge.

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "flash/image_format.h"
#include "flash/info_area.h"

namespace sovra::testing_area {

using Area = std::array<std::uint8_t, InfoAreaSize>;

// An area with the given used length whose entries are `entries`, the rest
// filled with `fill`.
inline Area MakeArea(std::uint8_t used, const std::vector<std::uint8_t>& entries,
                     std::uint8_t fill = 0xFF) {
    Area a;
    a.fill(fill);
    a[0] = InfoHeaderLength;
    a[1] = InfoVersion;
    a[2] = used;
    a[3] = 0x77;
    // Entries that claim more than the area holds are cut at its end.
    const std::size_t n = std::min(entries.size(), a.size() - 4);
    std::copy_n(entries.begin(), n, a.begin() + 4);
    return a;
}

// A time entry; one longer than 10 bytes has 0x44 after the time.
inline std::vector<std::uint8_t> TimeEntry(std::uint8_t type, FileTime t,
                                           std::uint8_t length = TimeEntryLength) {
    std::vector<std::uint8_t> e(length, 0x44);
    e[0] = length;
    e[1] = type;
    Put64(e, 2, t);
    return e;
}

inline std::vector<std::uint8_t> Foreign(std::uint8_t length, std::uint8_t type = 0x21) {
    // A length below 2 still has its two header bytes in the area.
    std::vector<std::uint8_t> e(length < 2 ? 2 : length, 0x33);
    e[0] = length;
    e[1] = type;
    return e;
}

inline std::vector<std::uint8_t> Cat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

}  // namespace sovra::testing_area
