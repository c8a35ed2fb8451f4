#include "flash/image_format.h"

namespace sovra {

std::optional<ImageRecord> RecordWalker::Next() {
    if (end_ != WalkEnd::kWalking) {
        return std::nullopt;
    }
    const std::uint32_t i = position_;
    if (i >= words_) {
        end_ = WalkEnd::kNoEndMarker;
        return std::nullopt;
    }
    ImageRecord r;
    r.offset = i;
    r.count = GetWord(image_, i);
    if (r.count == 0) {
        end_ = WalkEnd::kEndMarker;
        return std::nullopt;
    }
    // words_ - i >= 1 here; the tag word and the data words must follow
    // inside the span. Compared as a remainder so no sum can wrap.
    if (words_ - i < 2 || r.count > words_ - i - 2) {
        end_ = WalkEnd::kRecordOverrun;
        return std::nullopt;
    }
    r.tag = GetWord(image_, i + 1);
    r.data = i + 2;
    position_ = r.end();
    return r;
}

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

std::uint32_t SumWords(std::span<const std::uint8_t> image, std::uint32_t first,
                       std::uint32_t last) {
    const std::uint8_t* p = image.data() + std::size_t{4} * first;
    const std::uint8_t* const end = image.data() + std::size_t{4} * last;
    std::uint32_t sum = 0;
    // Byte-wise little-endian reads; the compiler turns these into plain
    // loads on little-endian hosts.
    for (; p != end; p += 4) {
        sum += static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
               static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
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
