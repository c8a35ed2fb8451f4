#include "flash/image_format.h"

#include <array>

namespace sovra {
namespace {

inline std::uint32_t Load32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

Status WalkFailure(WalkEnd end) {
    switch (end) {
        case WalkEnd::kRecordOverrun:
            return E_IMAGE_RECORD_OVERRUN;
        case WalkEnd::kEndMarker:
            return S_OK;
        case WalkEnd::kNoEndMarker:
        case WalkEnd::kWalking:
            break;
    }
    return E_IMAGE_NO_END;
}

Status ValidateImage(std::span<const std::uint8_t> image, std::uint32_t limit,
                     ImageLayout& layout) {
    if (image.size() > limit) {
        return E_IMAGE_TOO_LONG;
    }
    if (image.size() < 8) {
        return E_IMAGE_TOO_SHORT;
    }
    ImageLayout l;
    RecordWalker walker(image);
    while (const auto r = walker.Next()) {
        ++l.records;
        if (r->IsDeviceInfo()) {
            ++l.deviceInfoRecords;
        }
    }
    if (walker.end() != WalkEnd::kEndMarker) {
        return WalkFailure(walker.end());
    }
    l.endMarker = walker.position();
    // e < size/4 <= limit/4, so 4e+12 cannot wrap; compare in 64 bits anyway.
    if (std::uint64_t{4} * l.endMarker + 12 > limit) {
        return E_IMAGE_RESULT_TOO_LONG;
    }
    layout = l;
    return S_OK;
}

std::optional<ImageRecord> FindDeviceInfo(std::span<const std::uint8_t> image) {
    RecordWalker walker(image);
    while (const auto r = walker.Next()) {
        if (r->IsDeviceInfo()) {
            return r;
        }
    }
    return std::nullopt;
}

FlashCheck CheckFlashContents(std::span<const std::uint8_t> flash) {
    FlashCheck check;
    RecordWalker walker(flash);
    std::uint32_t sum = 0;
    while (const auto r = walker.Next()) {
        ++check.layout.records;
        if (r->IsDeviceInfo()) {
            ++check.layout.deviceInfoRecords;
            if (!check.deviceInfo) {
                check.deviceInfo = r;
            }
        }
        sum += SumWords(flash, r->data, r->end());
    }
    if (walker.end() != WalkEnd::kEndMarker) {
        check.status = WalkFailure(walker.end());
        return check;
    }
    check.layout.endMarker = walker.position();
    // The checksum word must lie inside the flash as well.
    if (std::uint64_t{4} * check.layout.endMarker + 12 > flash.size()) {
        check.status = E_IMAGE_NO_END;
    } else if (GetWord(flash, check.layout.endMarker + 2) != sum) {
        check.status = E_IMAGE_BAD_CHECKSUM;
    } else if (!check.deviceInfo) {
        check.status = E_IMAGE_NO_DEVICE_INFO;
    }
    return check;
}

std::uint32_t SumWords(std::span<const std::uint8_t> image, std::uint32_t first,
                       std::uint32_t last) {
    const std::uint8_t* p = image.data() + std::size_t{4} * first;
    std::size_t n = last - first;
    // The merge's time goes almost all into this loop. Eight independent
    // sums let the compiler load and add several words at once (the
    // byte-wise reads below become plain vector loads on little-endian
    // hosts); addition mod 2^32 does not care about the order.
    std::array<std::uint32_t, 8> lanes{};
    for (; n >= lanes.size(); n -= lanes.size(), p += 4 * lanes.size()) {
        for (std::size_t k = 0; k < lanes.size(); ++k) {
            lanes[k] += Load32(p + 4 * k);
        }
    }
    std::uint32_t sum = 0;
    for (; n > 0; --n, p += 4) {
        sum += Load32(p);
    }
    for (const std::uint32_t lane : lanes) {
        sum += lane;
    }
    return sum;
}

std::uint32_t ComputeChecksum(std::span<const std::uint8_t> image) {
    std::uint32_t sum = 0;
    RecordWalker walker(image);
    while (const auto r = walker.Next()) {
        sum += SumWords(image, r->data, r->end());
    }
    return sum;
}

}  // namespace sovra
