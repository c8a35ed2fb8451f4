#include "flash/sample_image.h"

#include <array>
#include <cstdint>
#include <stdexcept>

#include "flash/flash_command.h"
#include "flash/image_format.h"
#include "flash/info_area.h"

namespace sovra {
namespace {

// splitmix64: small, fast and the same on every platform, so a seed always
// gives the same bytes.
class SampleRandom {
  public:
    explicit SampleRandom(std::uint64_t seed) : state_(seed) {}
    std::uint32_t Next32() {
        state_ += 0x9E3779B97F4A7C15ULL;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return static_cast<std::uint32_t>((z ^ (z >> 31)) >> 16);
    }

  private:
    std::uint64_t state_;
};

// Tags of ordinary records: a family of their own, never DeviceInfoTag.
constexpr std::uint32_t kOrdinaryTagBase = 0x40001000;
// A foreign entry every sample area carries, so that readers step over one.
constexpr std::uint8_t kSerialType = 0x01;
// Far beyond any flash; guards the size arithmetic against silly options.
constexpr std::uint64_t kMaxSampleBytes = 64ull * 1024 * 1024;

std::uint32_t DataWords(const SampleImageOptions& o) {
    return o.wordsPerRecord == 0 ? 1 : o.wordsPerRecord;
}

void AppendWord(std::vector<std::uint8_t>& out, std::uint32_t w) {
    out.push_back(static_cast<std::uint8_t>(w));
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w >> 16));
    out.push_back(static_cast<std::uint8_t>(w >> 24));
}

void AppendDeviceInfo(std::vector<std::uint8_t>& out, const SampleImageOptions& o,
                      SampleRandom& rnd) {
    AppendWord(out, DeviceInfoWords);
    AppendWord(out, DeviceInfoTag);
    std::array<std::uint8_t, DeviceInfoBlockSize> block{};
    for (std::size_t k = 0; k < InfoAreaOffset; k += 4) {
        Put32(block, k, rnd.Next32());
    }
    const InfoArea area = InfoAreaOf(std::span<std::uint8_t, 256>(block));
    // Erased flash past the used length, as a device leaves it.
    std::fill(area.begin(), area.end(), std::uint8_t{0xFF});
    // The header and the serial-number entry by hand: an area of header
    // only is below the valid used length.
    area[0] = InfoHeaderLength;
    area[1] = InfoVersion;
    area[2] = InfoHeaderLength + 6;
    area[3] = 0;
    area[4] = 6;
    area[5] = kSerialType;
    Put32(area, 6, rnd.Next32());
    if (o.keptTime != 0) {
        AppendTimeEntry(area, KeptTimeType, o.keptTime);
    }
    if (o.updateTime != 0) {
        AppendTimeEntry(area, UpdateTimeType, o.updateTime);
    }
    out.insert(out.end(), block.begin(), block.end());
}

}  // namespace

std::uint64_t SampleImageLength(const SampleImageOptions& options) {
    // Counted in 64 bits: 2 + DataWords in 32 bits wraps to 1 for 4294967295
    // words, which passed every size check with a tiny length and then built
    // records without bound. What 64 bits cannot hold saturates instead, so
    // each caller's size check refuses it.
    const std::uint64_t perRecord = 2 + std::uint64_t{DataWords(options)};
    const std::uint64_t cap = (UINT64_MAX / 4) - (1 + 2 + DeviceInfoWords + 3);
    if (options.records != 0 && perRecord > cap / options.records) {
        return UINT64_MAX;
    }
    const std::uint64_t words = 1 + std::uint64_t{options.records} * perRecord +
                                (options.deviceInfo ? 2 + DeviceInfoWords : 0) + 3;
    return 4 * words;
}

std::vector<std::uint8_t> MakeSampleImage(const SampleImageOptions& options) {
    const std::uint64_t length = SampleImageLength(options);
    if (length > kMaxSampleBytes) {
        throw std::length_error("sample image too large");
    }
    SampleRandom rnd(options.seed);
    std::vector<std::uint8_t> out;
    out.reserve(static_cast<std::size_t>(length));
    AppendWord(out, options.headerWord);
    const std::uint32_t words = DataWords(options);
    const auto ordinary = [&](std::uint32_t k) {
        AppendWord(out, words);
        AppendWord(out, kOrdinaryTagBase | (k & 0xFFFu));
        for (std::uint32_t w = 0; w < words; ++w) {
            AppendWord(out, rnd.Next32());
        }
    };
    // The device-info record second, so readers must step over a record
    // before they find it.
    for (std::uint32_t k = 0; k < options.records; ++k) {
        ordinary(k);
        if (k == 0 && options.deviceInfo) {
            AppendDeviceInfo(out, options, rnd);
        }
    }
    if (options.records == 0 && options.deviceInfo) {
        AppendDeviceInfo(out, options, rnd);
    }
    AppendWord(out, 0);  // end marker
    AppendWord(out, 0);  // the word after it
    const std::uint32_t sum = ComputeChecksum(out);
    AppendWord(out, sum);
    return out;
}

std::vector<std::uint8_t> MakeSampleFlash(const SampleImageOptions& options) {
    if (SampleImageLength(options) > FlashSize) {
        throw std::length_error("sample image larger than the flash");
    }
    std::vector<std::uint8_t> flash = MakeSampleImage(options);
    flash.resize(FlashSize, 0xFF);
    return flash;
}

}  // namespace sovra
