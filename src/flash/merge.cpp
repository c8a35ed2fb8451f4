#include "flash/merge.h"

#include <array>
#include <cstring>
#include <optional>

#include "flash/flash_command.h"
#include "flash/image_format.h"
#include "flash/info_area.h"

namespace sovra {
namespace {

using SavedBlock = std::array<std::uint8_t, DeviceInfoBlockSize>;

// The stage bar follows the share of the image walked: after the data word
// that ends at word index i, p = 396*i/L + 1 (unsigned 32-bit; i < 2^16, so
// 396*i cannot wrap), and the bar is moved whenever p differs from what it
// shows. p only changes at about a hundred indices, so they are computed
// ahead rather than dividing and asking the display at every word; between
// them the bar already shows p, so the calls the display sees are the same.
class StageMeter {
  public:
    StageMeter(StageProgress& progress, std::uint32_t imageLength)
        : progress_(progress), length_(imageLength) {
        // The bar stands at 1 when the walk starts.
        next_ = NextChange(1);
    }

    // Moves the bar as the data words [first, last) are passed; the indices
    // they end at are first+1 to last.
    void Pass(std::uint32_t first, std::uint32_t last) {
        for (;;) {
            // The count and tag words in between are not data: a change due
            // there shows at the record's first data word.
            const std::uint64_t i = next_ > first + 1u ? next_ : std::uint64_t{first} + 1;
            if (i > last) {
                return;
            }
            const std::uint32_t p = 396u * static_cast<std::uint32_t>(i) / length_ + 1u;
            AdvanceStage(progress_, static_cast<int>(p));
            next_ = NextChange(p);
        }
    }

  private:
    // The least i with 396*i/L + 1 > p, i.e. 396*i >= p*L.
    std::uint64_t NextChange(std::uint32_t p) const {
        return (std::uint64_t{p} * length_ + 395) / 396;
    }

    StageProgress& progress_;
    std::uint32_t length_;
    std::uint64_t next_;
};

// One device-info record of the new image, while its block is still the
// file's own: the file's KeptTime (the last one) becomes the kept time, the
// device's block replaces the file's when the read-back had one, and the
// entry area is brought up to date.
void MergeDeviceInfo(std::span<std::uint8_t, DeviceInfoBlockSize> block,
                     const std::optional<SavedBlock>& saved, FileTime& kept, FileTime now) {
    if (const auto fileKept = LastKeptTime(InfoAreaOf(block))) {
        kept = *fileKept;
    }
    if (saved) {
        std::copy(saved->begin(), saved->end(), block.begin());
    }
    StampInfoArea(InfoAreaOf(block), kept, now);
}

}  // namespace

Status MergeFirmware(std::span<std::uint8_t> flashImage, std::span<const std::uint8_t> fileImage,
                     std::uint32_t& imageLength, const Clock& clock, StageProgress& progress,
                     bool* carried) {
    if (carried != nullptr) {
        *carried = false;
    }
    if (fileImage.empty() || imageLength == 0 || flashImage.empty() ||
        imageLength > fileImage.size()) {
        return E_HANDLE;
    }
    progress.SetOperation(Operation::kParse);

    // Everything that could stop the merge is found out here, before the
    // flash image is touched, so an update can stop before it writes.
    const std::span<const std::uint8_t> file = fileImage.first(imageLength);
    const std::uint32_t limit =
        flashImage.size() < FlashSize ? static_cast<std::uint32_t>(flashImage.size()) : FlashSize;
    ImageLayout layout;
    if (const Status s = ValidateImage(file, limit, layout); Failed(s)) {
        return s;
    }

    const FileTime now = clock.Now();
    FileTime kept = now;

    std::optional<SavedBlock> saved;
    if (const auto r = FindDeviceInfo(flashImage)) {
        // The device's own block would have no record to go into: the file's
        // words would land where it was, and it would be lost for good.
        if (layout.deviceInfoRecords == 0) {
            return E_FIRMWARE_NO_DEVICE_INFO;
        }
        const auto block = DeviceInfoBlock(std::span<const std::uint8_t>(flashImage), *r);
        saved.emplace();
        std::copy(block.begin(), block.end(), saved->begin());
    }

    AdvanceStage(progress, 1);

    std::memmove(flashImage.data(), file.data(), file.size());

    // The walk of the new image covers the same words as the validation's
    // walk of the file: every count and tag word lies below the end marker,
    // inside the bytes just copied, and merging a block changes only data
    // words. So it ends at the same end marker, with no check needed.
    const std::uint32_t length = imageLength;
    StageMeter meter(progress, length);
    std::uint32_t headers = 0;
    RecordWalker walker(flashImage.first(length));
    while (const auto r = walker.Next()) {
        if (r->IsDeviceInfo()) {
            MergeDeviceInfo(DeviceInfoBlock(flashImage, *r), saved, kept, now);
        }
        meter.Pass(r->data, r->end());
        headers += r->count + r->tag;
    }
    // The records lie back to back from word 1 to the end marker, so the sum
    // of their data words is the sum of all those words less the count and
    // tag words (mod 2^32 either way). One pass over the image instead of
    // one per record; the merged blocks are in place by now.
    const std::uint32_t sum = SumWords(flashImage, 1, layout.endMarker) - headers;

    // The word after the end marker keeps what the buffer holds there.
    Put32(flashImage, std::size_t{4} * (layout.endMarker + 2), sum);
    imageLength = layout.length();

    if (carried != nullptr) {
        *carried = saved.has_value();
    }
    progress.SetOperation(Operation::kComplete);
    return S_OK;
}

}  // namespace sovra
