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
// 396*i cannot wrap). Asking the bar for its position at every word would
// cost a round trip to the display per word; p only changes at about a
// hundred indices, which are computed ahead, and between them the bar
// already shows p.
class StageMeter {
  public:
    StageMeter(StageProgress& progress, std::uint32_t imageLength)
        : progress_(progress), length_(imageLength) {
        // The bar stands at 1 when the walk starts.
        next_ = NextChange(1);
    }

    // Sums the data words [first, last) of `image` into `sum`, moving the
    // bar as each word is passed.
    void Walk(std::span<const std::uint8_t> image, std::uint32_t first, std::uint32_t last,
              std::uint32_t& sum) {
        std::uint32_t w = first;
        while (w < last) {
            // The words before index next_-1 leave p as it is.
            if (std::uint64_t{w} + 1 < next_) {
                const std::uint32_t stop =
                    next_ - 1 < last ? static_cast<std::uint32_t>(next_ - 1) : last;
                sum += SumWords(image, w, stop);
                w = stop;
                continue;
            }
            sum += GetWord(image, w);
            ++w;
            const std::uint32_t p = 396u * w / length_ + 1u;
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

Status ParseFirmware(std::span<std::uint8_t> flashImage, std::span<const std::uint8_t> fileImage,
                     std::uint32_t& imageLength, const Clock& clock, StageProgress& progress) {
    if (fileImage.empty() || imageLength == 0 || flashImage.empty() ||
        imageLength > fileImage.size()) {
        return E_HANDLE;
    }
    progress.SetOperationText("Parse firmware");

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
    std::uint32_t sum = 0;
    RecordWalker walker(flashImage.first(length));
    while (const auto r = walker.Next()) {
        if (r->IsDeviceInfo()) {
            MergeDeviceInfo(DeviceInfoBlock(flashImage, *r), saved, kept, now);
        }
        meter.Walk(flashImage, r->data, r->end(), sum);
    }

    // The word after the end marker keeps what the buffer holds there.
    Put32(flashImage, std::size_t{4} * (layout.endMarker + 2), sum);
    imageLength = layout.length();

    progress.SetOperationText("Complete");
    progress.ShowOperationText("Complete");
    return S_OK;
}

}  // namespace sovra
