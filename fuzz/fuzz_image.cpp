// Every reader of the image format on arbitrary bytes: the record walk, the
// validation, the whole-flash check, the device-info search, the chunks a
// read-back confirms and the entry-area rules. Nothing may be read outside the input, and an area
// the rules have stamped is valid.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

#include "flash/flash_command.h"
#include "flash/flash_stages.h"
#include "flash/image_format.h"
#include "flash/info_area.h"

namespace {

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sovra;
    const std::vector<std::uint8_t> image(data, data + size);

    ImageLayout layout;
    const Status s = ValidateImage(image, FlashSize, layout);
    RecordWalker walker(image);
    std::uint32_t records = 0;
    while (const auto r = walker.Next()) {
        ++records;
        Check(std::size_t{4} * r->end() <= image.size());
        if (r->IsDeviceInfo()) {
            std::array<std::uint8_t, DeviceInfoBlockSize> block{};
            const auto src = DeviceInfoBlock(std::span<const std::uint8_t>(image), *r);
            std::copy(src.begin(), src.end(), block.begin());
            const InfoArea area = InfoAreaOf(std::span<std::uint8_t, 256>(block));
            const bool wasValid = IsValidInfoArea(area);
            const std::uint8_t usedBefore = area[2];
            (void)LastKeptTime(area);
            StampInfoArea(area, 1, 2);
            Check(IsValidInfoArea(area));
            // Appends only ever grow a valid area; they never shrink it.
            Check(!wasValid || area[2] >= usedBefore);
            // The device data in front of the area is never written.
            Check(std::equal(block.begin(), block.begin() + InfoAreaOffset, src.begin()));
        }
    }
    (void)ComputeChecksum(image);
    (void)FindDeviceInfo(image);
    // A flash that passes the check has its checksum and a device-info
    // record inside its own bytes.
    const FlashCheck flash = CheckFlashContents(image);
    if (flash.status == S_OK) {
        const std::uint32_t e = flash.layout.endMarker;
        Check(walker.end() == WalkEnd::kEndMarker && walker.position() == e);
        Check(std::size_t{4} * (e + 3) <= image.size());
        Check(GetWord(image, e + 2) == ComputeChecksum(image));
        Check(flash.deviceInfo.has_value() && flash.deviceInfo->IsDeviceInfo() &&
              flash.deviceInfo->offset == FindDeviceInfo(image)->offset);
        // From the chunk of word 0 to the checksum's, rising, each once.
        const std::vector<std::uint32_t> chunks = UncoveredChunks(image);
        Check(!chunks.empty() && chunks.front() == 0 &&
              chunks.back() == (e + 2) / (ChunkSize / 4) &&
              std::adjacent_find(chunks.begin(), chunks.end(), std::greater_equal<>()) ==
                  chunks.end());
    } else {
        Check(UncoveredChunks(image).empty());
        Check(walker.end() == WalkEnd::kEndMarker || flash.status == WalkFailure(walker.end()));
    }
    if (s == S_OK) {
        Check(walker.end() == WalkEnd::kEndMarker);
        Check(walker.position() == layout.endMarker && records == layout.records);
        Check(layout.length() <= FlashSize);
    } else if (walker.end() != WalkEnd::kEndMarker) {
        Check(s == WalkFailure(walker.end()) || s == E_IMAGE_TOO_LONG || s == E_IMAGE_TOO_SHORT);
    }
    return 0;
}
