// Stage 1's read against an in-process virtual beamformer: what each kind
// of flash costs in requests, and that what is kept is the device's flash.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "flash/flash_stages.h"
#include "flash/sample_image.h"
#include "sim/beamformer_model.h"
#include "sim/in_process_channel.h"

namespace sovra {
namespace {

std::vector<std::uint8_t> ValidFlash() {
    return MakeSampleFlash({.records = 6, .seed = 7, .keptTime = 131'000'000'000'000'000ULL});
}

struct ReadCase {
    const char* name;
    std::vector<std::uint8_t> (*flash)();
    sim::FaultPlan faults;
    bool readTwice;
    // Requests beyond the prepare and one read of every chunk, given the
    // flash's UncoveredChunks.
    std::uint64_t (*extra)(std::uint64_t uncovered);
};

class ReadBackTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadBackTest, KeepsTheFlashAtTheCostOfItsKind) {
    const ReadCase& c = GetParam();
    const std::vector<std::uint8_t> contents = c.flash();
    auto model = std::make_shared<sim::BeamformerModel>(contents, c.faults);
    sim::InProcessChannel channel(model, false);
    std::vector<std::uint8_t> flash(FlashSize);
    NullProgress progress;
    ReadBackReport report;
    const Error e = ReadFlash(channel, flash, progress, nullptr, report);
    ASSERT_FALSE(e.Failed()) << e.What();
    EXPECT_TRUE(flash == contents);
    EXPECT_EQ(report.readTwice, c.readTwice);
    EXPECT_EQ(model->RequestCount(), 1 + ChunkCount + c.extra(UncoveredChunks(contents).size()));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ReadBackTest,
    ::testing::Values(
        // Word 0, each record's count and tag, the end marker and the two
        // words after it: a few chunks, read a second time.
        ReadCase{"ValidImage", ValidFlash, {}, false, [](std::uint64_t u) { return u; }},
        ReadCase{"Erased",
                 [] { return std::vector<std::uint8_t>(FlashSize, 0xFF); },
                 {},
                 true,
                 [](std::uint64_t) { return std::uint64_t{ChunkCount}; }},
        ReadCase{"BadChecksum",
                 [] {
                     std::vector<std::uint8_t> f = ValidFlash();
                     f[100] ^= 0x01;  // a data word of the first record
                     return f;
                 },
                 {},
                 true,
                 [](std::uint64_t) { return std::uint64_t{ChunkCount}; }},
        ReadCase{"NoDeviceInfo",
                 [] { return MakeSampleFlash({.deviceInfo = false}); },
                 {},
                 true,
                 [](std::uint64_t) { return std::uint64_t{ChunkCount}; }},
        // The second confirming read comes back with one byte flipped: the
        // whole flash is read again, and that chunk's third read agrees with
        // its first.
        ReadCase{"AConfirmingReadDiffers",
                 ValidFlash,
                 {.corruptAt = 1 + ChunkCount + 2, .corruptByte = 0},
                 true,
                 [](std::uint64_t) { return 2 + std::uint64_t{ChunkCount}; }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sovra
