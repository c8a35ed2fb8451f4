// The merge takes two untrusted inputs, the device's read-back and the
// firmware file. Whatever they hold, it must stay inside both, and either
// build a consistent image or refuse with the flash image untouched.
//
// Input layout: 4 bytes (little endian) choose how many of the following
// bytes are the read-back; the read-back is padded with zeros to 256 KiB and
// the rest of the input is the firmware file.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/filetime.h"
#include "flash/flash_command.h"
#include "flash/image_format.h"
#include "flash/info_area.h"
#include "flash/merge.h"
#include "flash/progress.h"

namespace {

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

// Counts what the merge asks of the display, and checks the bar rule.
class CheckingProgress final : public sovra::StageProgress {
  public:
    int StagePosition() const override { return position_; }
    void AdvanceTo(int p) override {
        SetStagePosition(p);
        ++steps_;
    }
    void SetStagePosition(int p) override {
        Check(p != position_ && p >= 1 && p <= 100);
        position_ = p;
        ++sets_;
    }
    void SetOperation(sovra::Operation) override {}
    void RestartStage(sovra::Operation) override { position_ = 0; }
    void CountRequests(std::uint32_t) override {}
    int sets() const { return sets_; }
    int steps() const { return steps_; }

  private:
    int position_ = 0;
    int sets_ = 0;
    int steps_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sovra;
    if (size < 4) {
        return 0;
    }
    std::uint32_t split = 0;
    std::memcpy(&split, data, 4);  // host order is fine: it only picks a split
    const std::size_t rest = size - 4;
    const std::size_t readbackBytes = split % (rest + 1);
    const std::uint8_t* readbackData = data + 4;

    std::vector<std::uint8_t> readback(FlashSize, 0);
    std::memcpy(readback.data(), readbackData,
                readbackBytes < FlashSize ? readbackBytes : FlashSize);
    // The file in an allocation of its own, so a read past it is caught.
    const std::vector<std::uint8_t> file(readbackData + readbackBytes, data + size);

    std::vector<std::uint8_t> flash = readback;
    const auto fileLength = static_cast<std::uint32_t>(file.size());
    std::uint32_t length = fileLength;
    CheckingProgress progress;
    const FixedClock clock(0x01DC000012345678ULL);
    const Status s = MergeFirmware(flash, file, length, clock, progress);
    Check(progress.sets() == progress.steps());

    if (s != S_OK) {
        Check(flash == readback);
        Check(length == fileLength);
        Check(progress.sets() == 0);
        if (!file.empty()) {
            ImageLayout layout;
            if (s == E_FIRMWARE_NO_DEVICE_INFO) {
                // Refused only to keep the device's own block.
                Check(ValidateImage(file, FlashSize, layout) == S_OK);
                Check(layout.deviceInfoRecords == 0 && FindDeviceInfo(readback).has_value());
            } else {
                Check(ValidateImage(file, FlashSize, layout) == s);
            }
        }
        return 0;
    }

    ImageLayout layout;
    Check(ValidateImage(file, FlashSize, layout) == S_OK);
    Check(length == layout.length() && length <= FlashSize && length >= MinImageLength);
    const std::span<const std::uint8_t> image = std::span<const std::uint8_t>(flash).first(length);

    // The new image walks to the same end marker, and its checksum is right.
    RecordWalker walker(image);
    std::uint32_t records = 0;
    const auto saved = FindDeviceInfo(readback);
    while (const auto r = walker.Next()) {
        ++records;
        if (r->IsDeviceInfo()) {
            const auto block = DeviceInfoBlock(image, *r);
            Check(IsValidInfoArea(InfoAreaOf(block)));
            if (saved) {
                const auto device =
                    DeviceInfoBlock(std::span<const std::uint8_t>(readback), *saved);
                Check(std::memcmp(block.data(), device.data(), InfoAreaOffset) == 0);
            }
        }
    }
    Check(walker.end() == WalkEnd::kEndMarker && walker.position() == layout.endMarker);
    Check(records == layout.records);
    const std::uint32_t e = layout.endMarker;
    Check(GetWord(image, e + 2) == ComputeChecksum(image));

    // Word 0 is the file's; what lies past the file and the new image is the
    // read-back's.
    Check(GetWord(image, 0) == GetWord(file, 0));
    const std::size_t tail = file.size() > length ? file.size() : length;
    Check(std::memcmp(flash.data() + tail, readback.data() + tail, FlashSize - tail) == 0);
    if (file.size() <= 4 * std::size_t{e + 1}) {
        // The file ends at its end marker: the word after it is the read-back's.
        Check(GetWord(image, e + 1) == GetWord(readback, e + 1));
    }
    return 0;
}
