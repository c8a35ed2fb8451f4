#include "flash/merge.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "flash/flash_command.h"
#include "flash/image_format.h"
#include "flash/info_area.h"
#include "flash/sample_image.h"
#include "tests/unit/image_words.h"
#include "tests/unit/info_area_builders.h"

namespace sovra {
namespace {

using namespace testing_area;
using testing_words::Words;

constexpr std::uint32_t H = 0x534F5652;
constexpr std::uint32_t T = 0x40001000;
constexpr FileTime kNow = 0x01DB2222AAAABBBBULL;
constexpr FileTime kDeviceKept = 0x01D51111CCCCDDDDULL;
constexpr FileTime kFileKept = 0x01D63333EEEE0000ULL;
constexpr FileTime kFileKept2 = 0x01D64444EEEE1111ULL;
constexpr FileTime kOld = 0x01D80000EEEEFFFFULL;

using Block = std::array<std::uint8_t, DeviceInfoBlockSize>;

Block MakeBlock(std::uint8_t dataSeed, const Area& area) {
    Block b{};
    for (std::size_t k = 0; k < InfoAreaOffset; ++k) {
        b[k] = static_cast<std::uint8_t>(dataSeed + 3 * k);
    }
    std::copy(area.begin(), area.end(), b.begin() + InfoAreaOffset);
    return b;
}

// Writes an image record by record; Finish() adds the end marker, the word
// after it and the checksum.
class ImageBuilder {
  public:
    ImageBuilder& Record(std::uint32_t count, std::uint32_t tag) {
        words_.push_back(count);
        words_.push_back(tag);
        for (std::uint32_t k = 0; k < count; ++k) {
            words_.push_back(0x01000193u * static_cast<std::uint32_t>(words_.size()));
        }
        return *this;
    }
    ImageBuilder& DeviceInfo(const Block& block) {
        words_.push_back(DeviceInfoWords);
        words_.push_back(DeviceInfoTag);
        for (std::size_t k = 0; k < block.size(); k += 4) {
            words_.push_back(Get32(block, k));
        }
        return *this;
    }
    std::vector<std::uint8_t> Finish(std::uint32_t afterMarker = 0xAFAFAFAF) const {
        auto w = words_;
        w.push_back(0);
        w.push_back(afterMarker);
        auto bytes = Words(w);
        bytes.resize(bytes.size() + 4);
        Put32(bytes, bytes.size() - 4, ComputeChecksum(bytes));
        return bytes;
    }

  private:
    std::vector<std::uint32_t> words_{H};
};

// A read-back: the image, then bytes that differ from word to word so that
// "keeps the read-back" can be told from anything else.
std::vector<std::uint8_t> Flash(const std::vector<std::uint8_t>& image) {
    std::vector<std::uint8_t> f(FlashSize);
    for (std::size_t k = 0; k < f.size(); ++k) {
        f[k] = static_cast<std::uint8_t>(k * 13 + (k >> 8));
    }
    std::copy(image.begin(), image.end(), f.begin());
    return f;
}

// What the merge did to the display.
class RecordingProgress final : public StageProgress {
  public:
    int StagePosition() const override { return position; }
    void AdvanceTo(int p) override {
        position = p;
        sets.push_back(p);
        ++steps;
    }
    void SetStagePosition(int p) override {
        position = p;
        sets.push_back(p);
    }
    void SetOperation(Operation o) override { operations.push_back(o); }
    void RestartStage(Operation o) override {
        operations.push_back(o);
        position = 0;
    }
    void CountRequests(std::uint32_t) override {}

    int position = 0;
    int steps = 0;
    std::vector<int> sets;
    std::vector<Operation> operations;
};

struct MergeRun {
    Status status = E_FAIL;
    std::vector<std::uint8_t> flash;
    std::uint32_t length = 0;
    RecordingProgress progress;

    std::span<const std::uint8_t> image() const {
        return std::span<const std::uint8_t>(flash).first(length);
    }
};

MergeRun RunMerge(std::vector<std::uint8_t> flash, const std::vector<std::uint8_t>& file,
                  int startPosition = 0) {
    MergeRun run;
    run.flash = std::move(flash);
    run.length = static_cast<std::uint32_t>(file.size());
    run.progress.position = startPosition;
    const FixedClock clock(kNow);
    run.status = MergeFirmware(run.flash, file, run.length, clock, run.progress);
    return run;
}

// ---------------------------------------------------------------------------
// The device-info block and its entry area after a merge.

struct AreaCase {
    std::string name;
    std::optional<Area> device;  // none: the read-back has no device-info record
    Area file;
    Area expected;
};

void PrintTo(const AreaCase& c, std::ostream* os) {
    *os << c.name;
}

class DeviceInfoMergeTest : public ::testing::TestWithParam<AreaCase> {};

TEST_P(DeviceInfoMergeTest, BlockAndAreaAfterMerge) {
    const auto& tc = GetParam();
    const Block fileBlock = MakeBlock(0x11, tc.file);
    const auto file = ImageBuilder().Record(5, T).DeviceInfo(fileBlock).Record(7, T).Finish();
    ImageBuilder device;
    device.Record(3, T);
    if (tc.device) {
        device.DeviceInfo(MakeBlock(0x22, *tc.device));
    }
    device.Record(9, T);
    const auto run = RunMerge(Flash(device.Finish()), file);
    ASSERT_EQ(run.status, S_OK);
    ASSERT_EQ(run.length, file.size());

    const auto info = FindDeviceInfo(run.image());
    ASSERT_TRUE(info.has_value());
    const auto block = DeviceInfoBlock(run.image(), *info);
    const Block expected = MakeBlock(tc.device ? 0x22 : 0x11, tc.expected);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), expected.begin()));

    // Everything else is the file's, and the checksum covers the merged block.
    const std::size_t blockStart = 4 * std::size_t{info->data};
    for (std::size_t k = 0; k + 4 < file.size(); ++k) {
        if (k < blockStart || k >= blockStart + DeviceInfoBlockSize) {
            ASSERT_EQ(run.flash[k], file[k]) << "byte " << k;
        }
    }
    const std::uint32_t e = run.length / 4 - 3;
    EXPECT_EQ(GetWord(run.flash, e + 2), ComputeChecksum(run.image()));
}

Area Fresh(Area old, FileTime kept) {
    old[0] = 4;
    old[1] = 1;
    old[2] = 24;
    const auto k = TimeEntry(KeptTimeType, kept);
    const auto u = TimeEntry(UpdateTimeType, kNow);
    std::copy(k.begin(), k.end(), old.begin() + 4);
    std::copy(u.begin(), u.end(), old.begin() + 14);
    return old;
}

std::vector<AreaCase> AreaCases() {
    Area erased;
    erased.fill(0xFF);
    Area badVersion = MakeArea(24, Cat({TimeEntry(10, kFileKept), TimeEntry(11, kOld)}));
    badVersion[1] = 2;
    const Area fileKept = MakeArea(14, TimeEntry(10, kFileKept));
    std::vector<AreaCase> c;
    c.push_back({"DeviceKeepsKeptUpdateIsNow",
                 MakeArea(24, Cat({TimeEntry(10, kDeviceKept), TimeEntry(11, kOld)})),
                 MakeArea(24, Cat({TimeEntry(10, kFileKept), TimeEntry(11, kOld)})),
                 MakeArea(24, Cat({TimeEntry(10, kDeviceKept), TimeEntry(11, kNow)}))});
    c.push_back({"ForeignThenUpdateThenKept", MakeArea(14, Foreign(10)), fileKept,
                 MakeArea(34, Cat({Foreign(10), TimeEntry(11, kNow), TimeEntry(10, kFileKept)}))});
    c.push_back({"InvalidDeviceAreaTakesFileKept", erased, fileKept, Fresh(erased, kFileKept)});
    c.push_back({"InvalidBothKeptIsNow", erased, badVersion, Fresh(erased, kNow)});
    c.push_back({"EveryUpdateTime",
                 MakeArea(34, Cat({TimeEntry(11, kOld), Foreign(10), TimeEntry(11, kOld)})),
                 fileKept,
                 MakeArea(44, Cat({TimeEntry(11, kNow), Foreign(10), TimeEntry(11, kNow),
                                   TimeEntry(10, kFileKept)}))});
    c.push_back({"LaterFileKeptWins", MakeArea(14, Foreign(10)),
                 MakeArea(24, Cat({TimeEntry(10, kFileKept), TimeEntry(10, kFileKept2)})),
                 MakeArea(34, Cat({Foreign(10), TimeEntry(11, kNow), TimeEntry(10, kFileKept2)}))});
    c.push_back({"NoDeviceRecordFileBlockUpdated", std::nullopt,
                 MakeArea(34, Cat({Foreign(10), TimeEntry(10, kFileKept), TimeEntry(11, kOld)})),
                 MakeArea(34, Cat({Foreign(10), TimeEntry(10, kFileKept), TimeEntry(11, kNow)}))});
    c.push_back({"NoDeviceRecordNoKept", std::nullopt, MakeArea(14, Foreign(10)),
                 MakeArea(34, Cat({Foreign(10), TimeEntry(11, kNow), TimeEntry(10, kNow)}))});
    c.push_back({"FullDeviceAreaUntouched", MakeArea(118, Foreign(114)), fileKept,
                 MakeArea(118, Foreign(114))});
    return c;
}

INSTANTIATE_TEST_SUITE_P(Areas, DeviceInfoMergeTest, ::testing::ValuesIn(AreaCases()),
                         [](const auto& info) { return info.param.name; });

TEST(MergeTest, OnlyTheExactRecordIsMergedAndEveryOneIsMergedAlike) {
    const Area fileArea = MakeArea(14, TimeEntry(10, kFileKept));
    const Area deviceArea = MakeArea(14, Foreign(10));
    const auto file = ImageBuilder()
                          .Record(63, DeviceInfoTag)
                          .Record(65, DeviceInfoTag)
                          .Record(64, T)
                          .DeviceInfo(MakeBlock(0x11, fileArea))
                          .Record(2, T)
                          .DeviceInfo(MakeBlock(0x33, fileArea))
                          .Finish();
    const auto device = ImageBuilder().DeviceInfo(MakeBlock(0x22, deviceArea)).Finish();
    const auto run = RunMerge(Flash(device), file);
    ASSERT_EQ(run.status, S_OK);

    const Block merged = MakeBlock(
        0x22, MakeArea(34, Cat({Foreign(10), TimeEntry(11, kNow), TimeEntry(10, kFileKept)})));
    RecordWalker walker(run.image());
    RecordWalker fileWalker(file);
    int mergedRecords = 0;
    while (const auto r = walker.Next()) {
        const auto f = fileWalker.Next();
        ASSERT_TRUE(f.has_value());
        const auto got = run.image().subspan(4 * std::size_t{r->data}, 4 * std::size_t{r->count});
        if (r->IsDeviceInfo()) {
            ++mergedRecords;
            EXPECT_TRUE(std::equal(got.begin(), got.end(), merged.begin()));
        } else {
            const auto want =
                std::span<const std::uint8_t>(file).subspan(4 * std::size_t{f->data}, got.size());
            EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin()));
        }
    }
    EXPECT_EQ(mergedRecords, 2);
    EXPECT_EQ(GetWord(run.flash, run.length / 4 - 1), ComputeChecksum(run.image()));
}

// ---------------------------------------------------------------------------
// Lengths, the word after the end marker and what lies beyond the image.

TEST(MergeTest, NoRecords) {
    const auto readback = Flash({});
    for (const auto& file : {Words({H, 0, 0x12345678, 0x9ABCDEF0}), Words({H, 0})}) {
        const auto run = RunMerge(readback, file);
        ASSERT_EQ(run.status, S_OK);
        EXPECT_EQ(run.length, 16u);
        EXPECT_EQ(GetWord(run.flash, 3), 0u);
        EXPECT_EQ(GetWord(run.flash, 2), file.size() > 8 ? 0x12345678u : GetWord(readback, 2));
        EXPECT_EQ(run.progress.sets, std::vector<int>{1});
        EXPECT_EQ(run.progress.position, 1);
    }
}

TEST(MergeTest, FileEndingAtItsMarkerTakesTheNextWordFromTheReadBack) {
    SampleImageOptions o;
    o.records = 3;
    auto image = MakeSampleImage(o);
    image.resize(image.size() - 8);  // cut the word after the marker and the checksum
    o.seed = 9;
    const auto readback = MakeSampleFlash(o);
    const auto run = RunMerge(readback, image);
    ASSERT_EQ(run.status, S_OK);
    EXPECT_EQ(run.length, image.size() + 8);
    const std::uint32_t e = static_cast<std::uint32_t>(image.size() / 4 - 1);
    EXPECT_EQ(GetWord(run.flash, e), 0u);
    EXPECT_EQ(GetWord(run.flash, e + 1), GetWord(readback, e + 1));
    EXPECT_EQ(GetWord(run.flash, e + 2), ComputeChecksum(run.image()));
    EXPECT_TRUE(
        std::equal(readback.begin() + run.length, readback.end(), run.flash.begin() + run.length));
}

TEST(MergeTest, FileBytesPastTheChecksumAreCopiedButNotCounted) {
    auto file = MakeSampleImage({});
    const std::size_t imageBytes = file.size();
    file.insert(file.end(), {1, 2, 3, 4, 5, 6, 7});
    const auto readback = Flash({});
    const auto run = RunMerge(readback, file);
    ASSERT_EQ(run.status, S_OK);
    EXPECT_EQ(run.length, imageBytes);
    EXPECT_TRUE(std::equal(file.begin() + static_cast<std::ptrdiff_t>(imageBytes), file.end(),
                           run.flash.begin() + static_cast<std::ptrdiff_t>(imageBytes)));
    EXPECT_TRUE(std::equal(readback.begin() + static_cast<std::ptrdiff_t>(file.size()),
                           readback.end(),
                           run.flash.begin() + static_cast<std::ptrdiff_t>(file.size())));
}

TEST(MergeTest, MergingIsReproducibleAndStampsTheGivenTime) {
    SampleImageOptions device;
    device.keptTime = kDeviceKept;
    device.updateTime = kOld;
    device.seed = 4;
    const auto file = MakeSampleImage({});
    const auto a = RunMerge(MakeSampleFlash(device), file);
    const auto b = RunMerge(MakeSampleFlash(device), file);
    ASSERT_EQ(a.status, S_OK);
    EXPECT_EQ(a.flash, b.flash);
    const auto info = FindDeviceInfo(a.image());
    ASSERT_TRUE(info.has_value());
    const ConstInfoArea area = InfoAreaOf(DeviceInfoBlock(a.image(), *info));
    EXPECT_EQ(LastKeptTime(area), kDeviceKept);
    EXPECT_EQ(a.progress.operations,
              (std::vector<Operation>{Operation::kParse, Operation::kComplete}));
}

// A read-back that cannot be walked has no device-info record, and the
// merge goes on with the file's own block.
TEST(MergeTest, CorruptReadBackHasNoDeviceInfo) {
    const Area fileArea = MakeArea(14, TimeEntry(10, kFileKept));
    const auto file = ImageBuilder().DeviceInfo(MakeBlock(0x11, fileArea)).Finish();
    auto readbacks = std::vector<std::vector<std::uint8_t>>{
        Flash(Words({H, 0xFFFFFFF0, T})),
        std::vector<std::uint8_t>(FlashSize, 0x5A),
        std::vector<std::uint8_t>(FlashSize, 0x00),
    };
    // A device-info record whose block would run past the buffer.
    auto last = std::vector<std::uint8_t>(FlashSize, 0x00);
    Put32(last, 4, FlashSize / 4 - 68);  // the next record starts 65 words before the end
    Put32(last, 8, T);
    Put32(last, FlashSize - 4 * 65, 64);
    Put32(last, FlashSize - 4 * 64, DeviceInfoTag);
    readbacks.push_back(last);
    for (const auto& rb : readbacks) {
        const auto run = RunMerge(rb, file);
        ASSERT_EQ(run.status, S_OK);
        const auto info = FindDeviceInfo(run.image());
        ASSERT_TRUE(info.has_value());
        const Block want =
            MakeBlock(0x11, MakeArea(24, Cat({TimeEntry(10, kFileKept), TimeEntry(11, kNow)})));
        const auto got = DeviceInfoBlock(run.image(), *info);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin()));
    }
}

// ---------------------------------------------------------------------------
// The two bars.

// The stage bar rule applied literally at every data word, against a bar
// that starts at `start`.
std::vector<int> ReferenceSets(const std::vector<std::uint8_t>& file, int start) {
    int bar = start;
    std::vector<int> sets;
    const auto advance = [&](int p) {
        if (bar != p) {
            bar = p;
            sets.push_back(p);
        }
    };
    advance(1);
    const auto length = static_cast<std::uint32_t>(file.size());
    RecordWalker walker(file);
    while (const auto r = walker.Next()) {
        for (std::uint32_t i = r->data; i < r->end();) {
            ++i;
            advance(static_cast<int>(396u * i / length + 1u));
        }
    }
    return sets;
}

struct ProgressCase {
    std::string name;
    std::vector<std::uint8_t> file;
    int start;
};

void PrintTo(const ProgressCase& c, std::ostream* os) {
    *os << c.name;
}

class StageBarTest : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(StageBarTest, MovesOncePerChangeOfP) {
    const auto& tc = GetParam();
    // A read-back without a device-info record, so that files without one
    // may be merged too.
    const auto run = RunMerge(Flash(MakeSampleImage({.deviceInfo = false})), tc.file, tc.start);
    ASSERT_EQ(run.status, S_OK);
    EXPECT_EQ(run.progress.sets, ReferenceSets(tc.file, tc.start));
    EXPECT_EQ(run.progress.steps, static_cast<int>(run.progress.sets.size()));
    for (std::size_t k = 1; k < run.progress.sets.size(); ++k) {
        EXPECT_LT(run.progress.sets[k - 1], run.progress.sets[k]);
    }
    EXPECT_LE(run.progress.position, 99);
}

std::vector<ProgressCase> ProgressCases() {
    SampleImageOptions full;
    full.records = 250;  // 250 records of 258 words: nearly the whole flash
    SampleImageOptions manySmall;
    manySmall.records = 200;
    manySmall.wordsPerRecord = 3;
    auto ragged = MakeSampleImage({});
    ragged.insert(ragged.end(), {9, 9, 9});  // L not a multiple of 4
    std::vector<ProgressCase> c;
    c.push_back({"Tiny", ImageBuilder().Record(1, T).Finish(), 0});
    c.push_back({"TinyBarAtOne", ImageBuilder().Record(2, T).Record(1, T).Finish(), 1});
    c.push_back({"Default", MakeSampleImage({}), 0});
    c.push_back({"Full", MakeSampleImage(full), 0});
    c.push_back({"ManySmall", MakeSampleImage(manySmall), 37});
    c.push_back({"Ragged", ragged, 0});
    return c;
}

INSTANTIATE_TEST_SUITE_P(Images, StageBarTest, ::testing::ValuesIn(ProgressCases()),
                         [](const auto& info) { return info.param.name; });

TEST(MergeTest, FullImageClimbsToNinetyNine) {
    SampleImageOptions full;
    full.records = 253;
    const auto file = MakeSampleImage(full);
    ASSERT_GT(file.size(), FlashSize - 2048);
    const auto run = RunMerge(Flash({}), file);
    ASSERT_EQ(run.status, S_OK);
    EXPECT_EQ(run.progress.position, 99);
    EXPECT_EQ(run.progress.steps, 99);  // every value from 1 to 99
}

// ---------------------------------------------------------------------------
// Refusals: the flash image and the length stay exactly as they were.

struct RefusalCase {
    std::string name;
    std::vector<std::uint8_t> file;
    Status status;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class RefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusalTest, NothingChanges) {
    const auto& tc = GetParam();
    SampleImageOptions o;
    o.keptTime = kDeviceKept;
    const auto readback = MakeSampleFlash(o);
    const auto run = RunMerge(readback, tc.file, 0);
    EXPECT_EQ(run.status, tc.status);
    EXPECT_TRUE(run.flash == readback);
    EXPECT_EQ(run.length, tc.file.size());
    EXPECT_TRUE(run.progress.sets.empty());
    EXPECT_EQ(run.progress.steps, 0);
    EXPECT_EQ(run.progress.operations, std::vector<Operation>{Operation::kParse});
}

std::vector<std::uint8_t> Cut(std::vector<std::uint8_t> v, std::size_t size) {
    v.resize(size);
    return v;
}

std::vector<RefusalCase> RefusalCases() {
    const auto image = MakeSampleImage({});  // records of 256 words from word 1
    auto tooLong = image;
    tooLong.resize(FlashSize + 4, 0);
    std::vector<std::uint8_t> markerLast(FlashSize, 0x5A);
    Put32(markerLast, 4, FlashSize / 4 - 4);
    Put32(markerLast, FlashSize - 4, 0);
    std::vector<RefusalCase> c;
    c.push_back({"LongerThanFlash", tooLong, E_IMAGE_TOO_LONG});
    c.push_back({"FourBytes", Words({H}), E_IMAGE_TOO_SHORT});
    c.push_back({"SevenBytes", Cut(Words({H, 0}), 7), E_IMAGE_TOO_SHORT});
    // Cut inside the first record: its data would run on into the buffer.
    c.push_back({"RecordPastFile", Cut(image, 4 * 100), E_IMAGE_RECORD_OVERRUN});
    c.push_back({"CountWraps", Words({H, 0xFFFFFFFF, T, 0}), E_IMAGE_RECORD_OVERRUN});
    // Cut just before the end marker.
    c.push_back({"NoEndMarker", Cut(image, image.size() - 12), E_IMAGE_NO_END});
    c.push_back({"MarkerHalfInFile", Cut(image, image.size() - 10), E_IMAGE_NO_END});
    c.push_back({"ResultLongerThanFlash", markerLast, E_IMAGE_RESULT_TOO_LONG});
    // The read-back holds the device's own block and the file has no record
    // to carry it into: writing the file would erase it.
    c.push_back(
        {"NoDeviceInfoRecord", MakeSampleImage({.deviceInfo = false}), E_FIRMWARE_NO_DEVICE_INFO});
    return c;
}

INSTANTIATE_TEST_SUITE_P(Files, RefusalTest, ::testing::ValuesIn(RefusalCases()),
                         [](const auto& info) { return info.param.name; });

TEST(MergeTest, MissingInputsChangeNothingAtAll) {
    const auto file = MakeSampleImage({});
    auto flash = MakeSampleFlash({});
    const auto before = flash;
    const FixedClock clock(kNow);
    struct Input {
        std::span<std::uint8_t> flash;
        std::span<const std::uint8_t> file;
        std::uint32_t length;
    };
    const auto size = static_cast<std::uint32_t>(file.size());
    for (const Input& in : {Input{{}, file, size}, Input{flash, {}, size}, Input{flash, file, 0},
                            Input{flash, file, size + 1}}) {
        RecordingProgress progress;
        std::uint32_t length = in.length;
        EXPECT_EQ(MergeFirmware(in.flash, in.file, length, clock, progress), E_HANDLE);
        EXPECT_EQ(length, in.length);
        EXPECT_TRUE(progress.operations.empty());
        EXPECT_TRUE(progress.sets.empty());
    }
    EXPECT_TRUE(flash == before);
}

}  // namespace
}  // namespace sovra

namespace sovra {
namespace {

// The on-device layout, written out byte by byte rather than built with the
// code's own constants: a change to the device-info tag, the record layout
// or a FILETIME's byte order cannot slip past.
TEST(MergeTest, LiteralBytesOfAFileAndTheMergedTimeStamps) {
    std::vector<std::uint8_t> file = {
        0x52, 0x56, 0x4F, 0x53,  // header word
        0x40, 0x00, 0x00, 0x00,  // count 64
        0x00, 0x30, 0x00, 0x40,  // the device-info tag 0x40003000
    };
    file.insert(file.end(), 128, 0x11);                             // device data
    file.insert(file.end(), {0x04, 0x01, 0x06, 0xFF, 0x02, 0x01});  // area: one 2-byte entry
    file.resize(file.size() + 122, 0xFF);                           // rest of the area
    file.insert(file.end(), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // end, after, checksum
    ASSERT_EQ(file.size(), 4u * 70);

    std::vector<std::uint8_t> flash(FlashSize, 0);  // a read-back with no record
    std::uint32_t length = static_cast<std::uint32_t>(file.size());
    NullProgress quiet;
    bool carried = true;
    ASSERT_EQ(
        MergeFirmware(flash, file, length, FixedClock(0x0123456789ABCDEFULL), quiet, &carried),
        S_OK);
    EXPECT_FALSE(carried);
    EXPECT_EQ(length, 280u);
    // The area now holds an UpdateTime, then a KeptTime (both "now"), low
    // half first, and its used length has grown by 20.
    const std::vector<std::uint8_t> area(flash.begin() + 140, flash.begin() + 140 + 26);
    EXPECT_EQ(area, (std::vector<std::uint8_t>{
                        0x04, 0x01, 0x1A, 0xFF, 0x02, 0x01,                          //
                        0x0A, 0x0B, 0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01,  //
                        0x0A, 0x0A, 0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}));
}

}  // namespace
}  // namespace sovra
