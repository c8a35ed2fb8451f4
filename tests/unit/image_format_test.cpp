#include "flash/image_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/flash_command.h"
#include "flash/info_area.h"
#include "flash/sample_image.h"
#include "tests/unit/image_words.h"

namespace sovra {
namespace {

using testing_words::Words;

constexpr std::uint32_t H = 0x534F5652;  // any header word
constexpr std::uint32_t T = 0x40001000;  // an ordinary tag

struct WalkCase {
    std::string name;
    std::vector<std::uint8_t> image;
    WalkEnd end;
    std::uint32_t records;
    std::uint32_t position;  // where the walk stopped
};

class RecordWalkerTest : public ::testing::TestWithParam<WalkCase> {};

TEST_P(RecordWalkerTest, StopsWithTheRightReasonInsideTheSpan) {
    const auto& tc = GetParam();
    // The image alone in its own allocation, so a read past it is caught by
    // the address sanitizer.
    const std::vector<std::uint8_t> image(tc.image);
    RecordWalker walker(image);
    std::uint32_t records = 0;
    while (const auto r = walker.Next()) {
        ++records;
        EXPECT_LE(std::uint64_t{4} * r->end(), image.size());
        EXPECT_EQ(r->data, r->offset + 2);
    }
    EXPECT_EQ(walker.end(), tc.end);
    EXPECT_EQ(records, tc.records);
    EXPECT_EQ(walker.position(), tc.position);
    EXPECT_FALSE(walker.Next().has_value());  // stays ended
}

std::vector<std::uint8_t> WithTail(std::vector<std::uint8_t> v, std::size_t extra) {
    v.resize(v.size() + extra, 0);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Images, RecordWalkerTest,
    ::testing::Values(
        WalkCase{"Empty", {}, WalkEnd::kNoEndMarker, 0, 1},
        WalkCase{"HeaderOnly", Words({H}), WalkEnd::kNoEndMarker, 0, 1},
        WalkCase{"NoRecords", Words({H, 0}), WalkEnd::kEndMarker, 0, 1},
        WalkCase{"TwoRecords", Words({H, 2, T, 7, 8, 1, T, 9, 0}), WalkEnd::kEndMarker, 2, 8},
        WalkCase{"CountPastEnd", Words({H, 5, T, 7, 0}), WalkEnd::kRecordOverrun, 0, 1},
        WalkCase{"SecondCountPastEnd", Words({H, 1, T, 7, 3, T, 0, 0}), WalkEnd::kRecordOverrun, 1,
                 4},
        // 0xFFFFFFFF + position would wrap in 32 bits.
        WalkCase{"CountWraps", Words({H, 0xFFFFFFFF, T, 0}), WalkEnd::kRecordOverrun, 0, 1},
        WalkCase{"CountWordLast", Words({H, 3}), WalkEnd::kRecordOverrun, 0, 1},
        WalkCase{"RecordFillsSpan", Words({H, 1, T, 7}), WalkEnd::kNoEndMarker, 1, 4},
        WalkCase{"PartialWordIgnored", WithTail(Words({H, 1, T, 7}), 3), WalkEnd::kNoEndMarker, 1,
                 4},
        WalkCase{"PartialTrailAfterMarker", WithTail(Words({H, 0}), 2), WalkEnd::kEndMarker, 0, 1}),
    [](const auto& info) { return info.param.name; });

struct ValidateCase {
    std::string name;
    std::vector<std::uint8_t> image;
    std::uint32_t limit;
    Status status;
    std::uint32_t length;  // when S_OK
};

class ValidateImageTest : public ::testing::TestWithParam<ValidateCase> {};

TEST_P(ValidateImageTest, Status) {
    const auto& tc = GetParam();
    ImageLayout layout;
    EXPECT_EQ(ValidateImage(tc.image, tc.limit, layout), tc.status);
    if (tc.status == S_OK) {
        EXPECT_EQ(layout.length(), tc.length);
    }
}

std::vector<std::uint8_t> MarkerAtWord(std::uint32_t bytes, std::uint32_t e) {
    // One ordinary record reaching from word 1 to just before e.
    std::vector<std::uint8_t> v(bytes, 0x5A);
    Put32(v, 0, H);
    Put32(v, 4, e - 3);
    Put32(v, 8, T);
    Put32(v, 4 * e, 0);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Images, ValidateImageTest,
    ::testing::Values(ValidateCase{"Smallest", Words({H, 0}), FlashSize, S_OK, 16},
                      ValidateCase{"SevenBytes", std::vector<std::uint8_t>(7, 0), FlashSize,
                                   E_IMAGE_TOO_SHORT, 0},
                      ValidateCase{"LongerThanFlash", std::vector<std::uint8_t>(FlashSize + 1, 0),
                                   FlashSize, E_IMAGE_TOO_LONG, 0},
                      ValidateCase{"Overrun", Words({H, 9, T, 0}), FlashSize,
                                   E_IMAGE_RECORD_OVERRUN, 0},
                      ValidateCase{"NoEnd", Words({H, 1, T, 5}), FlashSize, E_IMAGE_NO_END, 0},
                      // A marker in the last words leaves no room for the checksum.
                      ValidateCase{"MarkerInLastWord", MarkerAtWord(FlashSize, FlashSize / 4 - 1),
                                   FlashSize, E_IMAGE_RESULT_TOO_LONG, 0},
                      ValidateCase{"MarkerTwoBeforeEnd", MarkerAtWord(FlashSize, FlashSize / 4 - 2),
                                   FlashSize, E_IMAGE_RESULT_TOO_LONG, 0},
                      ValidateCase{"ChecksumInLastWord", MarkerAtWord(FlashSize, FlashSize / 4 - 3),
                                   FlashSize, S_OK, FlashSize},
                      // A file ending right after its marker: the two words after it come
                      // from the buffer, and the length counts them.
                      ValidateCase{"EndsAtMarker", Words({H, 1, T, 7, 0}), FlashSize, S_OK, 28}),
    [](const auto& info) { return info.param.name; });

TEST(FindDeviceInfoTest, FindsOnlyTheExactPairAndStopsSafely) {
    std::vector<std::uint32_t> w = {H, 64, T};
    w.resize(w.size() + 64, 1);
    for (const std::uint32_t count : {63u, 65u}) {
        w.push_back(count);
        w.push_back(DeviceInfoTag);
        w.resize(w.size() + count, 2);
    }
    const std::size_t devinfo = w.size();
    w.push_back(64);
    w.push_back(DeviceInfoTag);
    w.resize(w.size() + 64, 3);
    w.push_back(0);
    const auto image = Words(w);
    const auto found = FindDeviceInfo(image);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->offset, devinfo);

    // The same record cut short: its data would run past the span.
    const std::vector<std::uint8_t> cut(image.begin(), image.begin() + 4 * (devinfo + 2 + 63));
    EXPECT_FALSE(FindDeviceInfo(cut).has_value());
}

TEST(SampleImageTest, IsAValidImageWithItsDeviceInfoSecond) {
    SampleImageOptions o;
    o.records = 3;
    o.wordsPerRecord = 10;
    o.keptTime = 0x01D9000011112222ULL;
    o.updateTime = 0x01DA000033334444ULL;
    const auto image = MakeSampleImage(o);
    ASSERT_EQ(image.size(), SampleImageLength(o));
    ImageLayout layout;
    ASSERT_EQ(ValidateImage(image, FlashSize, layout), S_OK);
    EXPECT_EQ(layout.length(), image.size());
    EXPECT_EQ(layout.records, 4u);
    EXPECT_EQ(GetWord(image, 0), o.headerWord);
    EXPECT_EQ(GetWord(image, layout.endMarker + 2), ComputeChecksum(image));

    const auto info = FindDeviceInfo(image);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->offset, 1u + 2 + 10);
    const ConstInfoArea area =
        InfoAreaOf(DeviceInfoBlock(std::span<const std::uint8_t>(image), *info));
    EXPECT_TRUE(IsValidInfoArea(area));
    EXPECT_EQ(LastKeptTime(area), o.keptTime);
    InfoEntryWalker walker(area);
    std::vector<std::uint8_t> types;
    while (const auto e = walker.Next()) {
        types.push_back(e->type);
        if (e->IsUpdateTime()) {
            EXPECT_EQ(EntryTime(area, *e), o.updateTime);
        }
    }
    EXPECT_TRUE(walker.Complete());
    EXPECT_EQ(types, (std::vector<std::uint8_t>{1, KeptTimeType, UpdateTimeType}));
}

TEST(SampleImageTest, SeedDecidesTheBytes) {
    SampleImageOptions a;
    SampleImageOptions b;
    b.seed = 2;
    EXPECT_EQ(MakeSampleImage(a), MakeSampleImage(a));
    EXPECT_NE(MakeSampleImage(a), MakeSampleImage(b));
}

TEST(SampleImageTest, ShapesFromOptions) {
    SampleImageOptions o;
    o.records = 0;
    o.deviceInfo = false;
    EXPECT_EQ(MakeSampleImage(o), Words({o.headerWord, 0, 0, 0}));

    o.deviceInfo = true;
    const auto only = MakeSampleImage(o);
    ASSERT_TRUE(FindDeviceInfo(only).has_value());
    EXPECT_EQ(FindDeviceInfo(only)->offset, 1u);

    o.records = 2;
    o.wordsPerRecord = 0;  // a record has at least one word
    ImageLayout layout;
    EXPECT_EQ(ValidateImage(MakeSampleImage(o), FlashSize, layout), S_OK);
    EXPECT_EQ(layout.records, 3u);
}

TEST(SampleImageTest, FlashIsPaddedAndOversizeRefused) {
    SampleImageOptions o;
    const auto image = MakeSampleImage(o);
    const auto flash = MakeSampleFlash(o);
    ASSERT_EQ(flash.size(), FlashSize);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + static_cast<std::ptrdiff_t>(image.size()), flash.end(),
                            [](std::uint8_t b) { return b == 0xFF; }));
    o.records = 300;
    EXPECT_THROW(MakeSampleFlash(o), std::length_error);
    EXPECT_GT(MakeSampleImage(o).size(), FlashSize);  // still available as a file
}

}  // namespace
}  // namespace sovra
