#include "flash/flash_command.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "sim/beamformer_model.h"
#include "sim/in_process_channel.h"

namespace sovra {
namespace {

using Bytes8 = std::array<std::uint8_t, 8>;

// The setup packet as it crosses the bus, little endian.
Bytes8 WireBytes(const ControlSetup& s) {
    return {s.bmRequestType,
            s.bRequest,
            static_cast<std::uint8_t>(s.wValue & 0xFF),
            static_cast<std::uint8_t>(s.wValue >> 8),
            static_cast<std::uint8_t>(s.wIndex & 0xFF),
            static_cast<std::uint8_t>(s.wIndex >> 8),
            static_cast<std::uint8_t>(s.wLength & 0xFF),
            static_cast<std::uint8_t>(s.wLength >> 8)};
}

// A channel that only keeps what it is handed.
class CapturingChannel final : public DeviceChannel {
  public:
    Status Transfer(const ControlSetup& request, std::span<std::uint8_t> data) override {
        requests.push_back(request);
        payloads.emplace_back(data.begin(), data.end());
        return S_OK;
    }
    std::vector<ControlSetup> requests;
    std::vector<std::vector<std::uint8_t>> payloads;
};

struct ChunkCase {
    std::uint32_t address;
    bool read;
    Bytes8 wire;
};

class ChunkRequestTest : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(ChunkRequestTest, WireBytesMatch) {
    const auto& tc = GetParam();
    std::vector<std::uint8_t> image(FlashSize);
    CapturingChannel ch;
    const Status s = tc.read ? ReadChunk(ch, tc.address, image) : WriteChunk(ch, tc.address, image);
    EXPECT_EQ(s, S_OK);
    ASSERT_EQ(ch.requests.size(), 1u);
    EXPECT_EQ(WireBytes(ch.requests[0]), tc.wire);
    EXPECT_EQ(ch.payloads[0].size(), 64u);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ChunkRequestTest,
    ::testing::Values(ChunkCase{0x12340, true, {0xC0, 0xBB, 0x51, 0, 0x40, 0x23, 0x40, 0}},
                      ChunkCase{0x00000, true, {0xC0, 0xBB, 0x50, 0, 0x00, 0x00, 0x40, 0}},
                      ChunkCase{0x3FFC0, true, {0xC0, 0xBB, 0x53, 0, 0xC0, 0xFF, 0x40, 0}},
                      ChunkCase{0x10000, false, {0x40, 0xBA, 0x51, 0, 0x00, 0x00, 0x40, 0}},
                      ChunkCase{0x0FFC0, false, {0x40, 0xBA, 0x50, 0, 0xC0, 0xFF, 0x40, 0}}));

TEST(FlashRequestTest, PrepareRequestBytes) {
    CapturingChannel ch;
    EXPECT_EQ(SendPrepare(ch), S_OK);
    ASSERT_EQ(ch.requests.size(), 1u);
    const Bytes8 expected = {0x40, 0xBE, 0x00, 0x00, 0x1B, 0x00, 0x01, 0x00};
    EXPECT_EQ(WireBytes(ch.requests[0]), expected);
    EXPECT_EQ(ch.payloads[0], std::vector<std::uint8_t>{0x01});
}

TEST(FlashRequestTest, ChunksOutsideTheImageAreNeverSent) {
    CapturingChannel ch;
    std::vector<std::uint8_t> small(100);
    EXPECT_EQ(ReadChunk(ch, 64, small), E_HANDLE);  // 64..127 does not fit in 100 bytes
    EXPECT_EQ(WriteChunk(ch, FlashSize, small), E_HANDLE);
    EXPECT_TRUE(ch.requests.empty());
}

// The model answers a whole read and write of the flash through the same
// requests an update makes, and refuses what a device would refuse.
TEST(BeamformerModelTest, RoundTripThroughInProcessChannel) {
    std::vector<std::uint8_t> flash(FlashSize);
    for (std::size_t i = 0; i < flash.size(); ++i) {
        flash[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    }
    auto model = std::make_shared<sim::BeamformerModel>(flash);
    sim::InProcessChannel ch(model);
    ASSERT_EQ(SendPrepare(ch), S_OK);
    EXPECT_TRUE(model->Prepared());
    std::vector<std::uint8_t> image(FlashSize);
    for (std::uint32_t a = 0; a < FlashSize; a += ChunkSize) {
        ASSERT_EQ(ReadChunk(ch, a, image), S_OK);
    }
    EXPECT_EQ(image, flash);
    for (auto& b : image) {
        b = static_cast<std::uint8_t>(~b);
    }
    for (std::uint32_t a = 0; a < FlashSize; a += ChunkSize) {
        ASSERT_EQ(WriteChunk(ch, a, image), S_OK);
    }
    EXPECT_EQ(model->Flash(), image);
    EXPECT_EQ(ch.Requests().size(), 1u + 2 * ChunkCount);
}

struct RefusalCase {
    const char* name;
    ControlSetup setup;
    std::size_t dataLength;
};

class ModelRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ModelRefusalTest, Stalls) {
    sim::BeamformerModel model({});
    std::vector<std::uint8_t> data(GetParam().dataLength, 0x01);
    EXPECT_EQ(model.Handle(GetParam().setup, data), sim::Answer::Stall);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, ModelRefusalTest,
    ::testing::Values(RefusalCase{"UnknownCommand", {0xC0, 0xBC, 0x50, 0, 64}, 64},
                      RefusalCase{"ReadWithoutTag", {0xC0, 0xBB, 0x40, 0, 64}, 64},
                      RefusalCase{"ReadPastFlash", {0xC0, 0xBB, 0x54, 0, 64}, 64},
                      RefusalCase{"ReadAsOut", {0x40, 0xBB, 0x50, 0, 64}, 64},
                      RefusalCase{"WriteAsIn", {0xC0, 0xBA, 0x50, 0, 64}, 64},
                      RefusalCase{"TooLong", {0xC0, 0xBB, 0x50, 0, 65}, 65},
                      RefusalCase{"LengthMismatch", {0xC0, 0xBB, 0x50, 0, 64}, 32},
                      RefusalCase{"StraddlesEnd", {0xC0, 0xBB, 0x53, 0xFFE0, 64}, 64},
                      RefusalCase{"PrepareWrongIndex", {0x40, 0xBE, 0, 0x1C, 1}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BeamformerModelTest, InjectedFaults) {
    sim::FaultPlan plan;
    plan.failAt = 2;
    plan.corruptAt = 3;
    plan.unplugAt = 4;
    auto model =
        std::make_shared<sim::BeamformerModel>(std::vector<std::uint8_t>(FlashSize, 0x11), plan);
    sim::InProcessChannel ch(model);
    std::vector<std::uint8_t> image(FlashSize);
    EXPECT_EQ(ReadChunk(ch, 0, image), S_OK);
    EXPECT_EQ(ReadChunk(ch, 64, image), E_DEVICE_STALL);
    EXPECT_EQ(ReadChunk(ch, 128, image), S_OK);
    EXPECT_EQ(image[128], 0x11 ^ 0xA5);
    EXPECT_EQ(ReadChunk(ch, 192, image), E_DEVICE_GONE);
    EXPECT_EQ(ReadChunk(ch, 256, image), E_DEVICE_GONE);
    EXPECT_FALSE(model->Present());
}

TEST(BeamformerModelTest, ACorruptByteFlipsThatByteOfTheAnswerAlone) {
    auto model =
        std::make_shared<sim::BeamformerModel>(std::vector<std::uint8_t>(FlashSize, 0x11),
                                               sim::FaultPlan{.corruptAt = 1, .corruptByte = 63});
    sim::InProcessChannel ch(model);
    std::vector<std::uint8_t> image(FlashSize);
    ASSERT_EQ(ReadChunk(ch, 64, image), S_OK);
    std::vector<std::uint8_t> expected(ChunkSize, 0x11);
    expected[63] ^= 0xA5;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image.begin() + 64));
}

TEST(BeamformerModelTest, DroppedWriteIsAcknowledgedButNotStored) {
    // Only write requests count: the prepare and the read come first, and
    // the refused write is the first write.
    sim::FaultPlan plan;
    plan.dropWriteAt = 3;
    auto model =
        std::make_shared<sim::BeamformerModel>(std::vector<std::uint8_t>(FlashSize, 0x11), plan);
    sim::InProcessChannel ch(model);
    std::vector<std::uint8_t> image(FlashSize, 0x22);
    ASSERT_EQ(SendPrepare(ch), S_OK);
    ASSERT_EQ(ReadChunk(ch, 0, image), S_OK);
    std::uint8_t refused[ChunkSize] = {};
    ControlSetup beyondFlash{kVendorOut, CommandWriteFlash, 0x54, 0, ChunkSize};
    EXPECT_EQ(model->Handle(beyondFlash, refused), sim::Answer::Stall);
    std::fill(image.begin(), image.end(), std::uint8_t{0x22});
    for (const std::uint32_t address : {0u, 64u, 128u}) {
        EXPECT_EQ(WriteChunk(ch, address, image), S_OK) << address;
    }
    const auto flash = model->Flash();
    EXPECT_EQ(flash[0], 0x22);
    EXPECT_EQ(flash[64], 0x11);  // the third write request
    EXPECT_EQ(flash[128], 0x22);
}

}  // namespace
}  // namespace sovra
