#include "flash/update_sequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/event_log.h"
#include "flash/merge.h"
#include "flash/sample_image.h"
#include "sim/beamformer_model.h"
#include "sim/in_process_channel.h"
#include "tests/support/log_receiver.h"
#include "tests/support/recording_view.h"

namespace sovra {
namespace {

// Table rows print as their names in test listings.
template <typename Row>
requires requires(const Row& r) {
    r.name;
}
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

using testing::Entry;
using testing::LogEntry;
using testing::LogReceiver;
using testing::RecordedCall;
using testing::RecordingView;
using testing::ViewCall;

constexpr FileTime kNow = 133'500'000'000'000'000ULL;

SampleImageOptions DeviceFlashOptions() {
    SampleImageOptions o;
    o.seed = 7;
    o.records = 6;
    o.keptTime = 131'000'000'000'000'000ULL;
    o.updateTime = 132'000'000'000'000'000ULL;
    return o;
}

// The device, its old flash, the firmware file, and what the merge makes of
// the two: the flash the device must hold after a good update.
struct Rig {
    explicit Rig(const SampleImageOptions& firmwareOptions, sim::FaultPlan faults = {})
        : oldFlash(MakeSampleFlash(DeviceFlashOptions())),
          firmware(MakeSampleImage(firmwareOptions)),
          model(std::make_shared<sim::BeamformerModel>(oldFlash, faults)),
          channel(std::make_shared<sim::InProcessChannel>(model)),
          context(channel, firmware),
          clock(kNow) {
        context.options.clock = &clock;
        expected = oldFlash;
        expectedLength = static_cast<std::uint32_t>(firmware.size());
        NullProgress quiet;
        mergeStatus = ParseFirmware(expected, firmware, expectedLength, clock, quiet);
    }

    std::uint32_t Writes() const { return (expectedLength + ChunkSize - 1) / ChunkSize; }

    std::vector<std::uint8_t> oldFlash;
    std::vector<std::uint8_t> firmware;
    std::shared_ptr<sim::BeamformerModel> model;
    std::shared_ptr<sim::InProcessChannel> channel;
    UpdateContext context;
    FixedClock clock;
    std::vector<std::uint8_t> expected;
    std::uint32_t expectedLength = 0;
    Status mergeStatus = E_FAIL;
};

std::uint32_t AddressOf(const FlashCommand& c) {
    return (static_cast<std::uint32_t>(c.addressHigh() & 7u) << 16) | c.addressLow();
}

std::vector<sim::RecordedRequest> RequestsWith(const sim::InProcessChannel& ch,
                                               std::uint16_t command) {
    std::vector<sim::RecordedRequest> out;
    for (const auto& r : ch.Requests()) {
        if (r.command.command() == command) {
            out.push_back(r);
        }
    }
    return out;
}

// The calls between the stage text `stage` and the next stage text.
std::vector<RecordedCall> StageCalls(RecordingView& view, std::string_view stage) {
    const auto& calls = view.Calls();
    auto begin = std::find_if(calls.begin(), calls.end(), [&](const RecordedCall& c) {
        return c.what == ViewCall::kStageText && c.text == stage;
    });
    if (begin == calls.end()) {
        return {};
    }
    auto end = std::find_if(begin + 1, calls.end(), [](const RecordedCall& c) {
        return c.what == ViewCall::kStageText || c.what == ViewCall::kEndWaitCursor;
    });
    return {begin, end};
}

std::vector<int> Positions(const std::vector<RecordedCall>& calls) {
    std::vector<int> out;
    for (const auto& c : calls) {
        if (c.what == ViewCall::kSetStagePosition) {
            out.push_back(c.a);
        }
    }
    return out;
}

long Count(const std::vector<RecordedCall>& calls, ViewCall what) {
    return std::count_if(calls.begin(), calls.end(),
                         [what](const RecordedCall& c) { return c.what == what; });
}

std::vector<LogEntry> LogOf(RecordingView& view) {
    std::vector<LogEntry> out;
    for (const auto& c : view.CallsOf(ViewCall::kLogEntry)) {
        out.push_back({c.a, c.text});
    }
    return out;
}

TEST(UpdateSequenceTest, OnePrepareThenEveryChunkInRisingOrderThenTheImage) {
    Rig rig(SampleImageOptions{});
    ASSERT_EQ(rig.mergeStatus, S_OK);
    RecordingView view;
    EXPECT_EQ(RunUpdateSequence(view, rig.context), S_OK);

    const auto requests = rig.channel->Requests();
    ASSERT_EQ(requests.size(), 1 + ChunkCount + rig.Writes());
    EXPECT_EQ(requests[0].command.command(), CommandPrepare);
    for (std::uint32_t k = 0; k < ChunkCount; ++k) {
        const FlashCommand& c = requests[1 + k].command;
        ASSERT_EQ(c.command(), CommandReadFlash) << k;
        ASSERT_EQ(AddressOf(c), k * ChunkSize) << k;
    }
    for (std::uint32_t k = 0; k < rig.Writes(); ++k) {
        const FlashCommand& c = requests[1 + ChunkCount + k].command;
        ASSERT_EQ(c.command(), CommandWriteFlash) << k;
        ASSERT_EQ(AddressOf(c), k * ChunkSize) << k;
    }
    EXPECT_TRUE(rig.model->Flash() == rig.expected);
    EXPECT_EQ(rig.context.result.imageLength, rig.expectedLength);
    EXPECT_EQ(rig.context.result.writesSent, rig.Writes());
    // The flash image lives only while the sequence runs.
    EXPECT_EQ(rig.context.flashImage.capacity(), 0u);
}

struct ProgressCase {
    const char* name;
    std::uint32_t records;
    std::uint32_t wordsPerRecord;
    std::uint32_t length;  // of the merged image
    std::uint32_t writes;  // Stage 3 requests
    int stage3Last;        // the stage bar where Stage 3 leaves it
    long stage3Steps;      // overall steps in Stage 3
};

class UpdateProgressTest : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(UpdateProgressTest, StageBarAndOverallStepsFollowTheChunks) {
    const ProgressCase& tc = GetParam();
    SampleImageOptions o;
    o.records = tc.records;
    o.wordsPerRecord = tc.wordsPerRecord;
    o.deviceInfo = false;
    Rig rig(o);
    ASSERT_EQ(rig.expectedLength, tc.length);
    RecordingView view;
    ASSERT_EQ(RunUpdateSequence(view, rig.context), S_OK);

    // Stage 1: every percentage from 0 to 99 once, one overall step each.
    const auto stage1 = StageCalls(view, kStage1Text);
    std::vector<int> every(100);
    for (int i = 0; i < 100; ++i) {
        every[static_cast<std::size_t>(i)] = i;
    }
    EXPECT_EQ(Positions(stage1), every);
    EXPECT_EQ(Count(stage1, ViewCall::kStepOverall), 99);

    const auto stage3 = StageCalls(view, kStage3Text);
    EXPECT_EQ(RequestsWith(*rig.channel, CommandWriteFlash).size(), tc.writes);
    ASSERT_FALSE(Positions(stage3).empty());
    EXPECT_EQ(Positions(stage3).front(), 0);  // the stage's reset
    EXPECT_EQ(Positions(stage3).back(), tc.stage3Last);
    EXPECT_EQ(Count(stage3, ViewCall::kStepOverall), tc.stage3Steps);
    EXPECT_EQ(view.StageBar(), tc.stage3Last);
}

INSTANTIATE_TEST_SUITE_P(Images, UpdateProgressTest,
                         ::testing::Values(
                             // 1 header word + 21 record words, e = 22: 100 bytes.
                             ProgressCase{"Bytes100", 1, 19, 100, 2, 64, 1},
                             // e = 65533: exactly the flash.
                             ProgressCase{"WholeFlash", 1, 65530, FlashSize, 4096, 99, 99}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UpdateSequenceTest, StagesTextsAndEntriesComeInTheirOrder) {
    LogReceiver log;
    ASSERT_TRUE(log.Bound());
    Rig rig(SampleImageOptions{});
    RecordingView view;
    view.InterleaveLog(&log);
    EXPECT_EQ(UpdateThreadProc(&view, rig.context), S_OK);

    // Each stage: its text, then its entry, then the stage bar's reset.
    for (const auto& [text, entry] :
         {std::pair{kStage1Text, kEventStage1}, std::pair{kStage2Text, kEventStage2},
          std::pair{kStage3Text, kEventStage3}}) {
        const auto calls = StageCalls(view, text);
        ASSERT_GE(calls.size(), 4u) << text;
        EXPECT_EQ(calls[1].what, ViewCall::kLogEntry) << text;
        EXPECT_EQ(calls[1].text, entry.text);
        EXPECT_EQ(calls[2].what, ViewCall::kStageRange);
        EXPECT_EQ(calls[3].what, ViewCall::kSetStagePosition);
        EXPECT_EQ(calls[3].a, 0);
    }
    const std::vector<LogEntry> want{Entry(kEventStage1), Entry(kEventStage2), Entry(kEventStage3),
                                     Entry(kEventFirmwareUpdated)};
    EXPECT_EQ(LogOf(view), want);

    const std::vector<std::string> operations = [&] {
        std::vector<std::string> out;
        for (const auto& c : view.CallsOf(ViewCall::kOperationText)) {
            out.push_back(c.text);
        }
        return out;
    }();
    // "Parse firmware" and its "Complete" come from the merge.
    EXPECT_EQ(operations.front(), kReadFirmwareText);
    EXPECT_EQ(std::count(operations.begin(), operations.end(), std::string(kWriteFirmwareText)), 1);
    EXPECT_EQ(operations.back(), kCompleteText);
    EXPECT_EQ(view.CallsOf(ViewCall::kShowOperationText).size(), 3u);
}

struct EndCase {
    const char* name;
    bool deviceBound;
    Colour colour;
    std::string_view message;
    SystemEvent entry;
};

class UpdateEndTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(UpdateEndTest, ColourBeforeTextAndCloseLast) {
    const EndCase& tc = GetParam();
    LogReceiver log;
    Rig rig(SampleImageOptions{});
    if (!tc.deviceBound) {
        rig.context.channel.reset();
    }
    RecordingView view;
    view.InterleaveLog(&log);
    UpdateThreadProc(&view, rig.context);

    const auto& calls = view.Calls();
    ASSERT_GE(calls.size(), 6u);
    EXPECT_EQ(calls.front().what, ViewCall::kBeginWaitCursor);
    const std::vector<RecordedCall> tail(calls.end() - 6, calls.end());
    EXPECT_EQ(tail[0].what, ViewCall::kLogEntry);
    EXPECT_EQ(tail[0].text, tc.entry.text);
    EXPECT_EQ(tail[0].a, static_cast<int>(tc.entry.type));
    EXPECT_EQ(tail[1].what, ViewCall::kEndWaitCursor);
    EXPECT_EQ(tail[2].what, ViewCall::kStopTimer);
    EXPECT_EQ(tail[3].what, ViewCall::kTextColour);
    EXPECT_EQ(static_cast<Colour>(tail[3].a), tc.colour);
    EXPECT_EQ(tail[4].what, ViewCall::kMessageText);
    EXPECT_EQ(tail[4].text, tc.message);
    EXPECT_EQ(tail[5].what, ViewCall::kEnableClose);
    EXPECT_FALSE(view.CalledAfterClose());
}

INSTANTIATE_TEST_SUITE_P(Results, UpdateEndTest,
                         ::testing::Values(EndCase{"Success", true, 0x008000, kUpdateSucceededText,
                                                   kEventFirmwareUpdated},
                                           EndCase{"Failure", false, 0x0000C0, kUpdateFailedText,
                                                   kEventUpdateFailed}),
                         [](const auto& info) { return std::string(info.param.name); });

struct RefusalCase {
    const char* name;
    bool channel;
    std::size_t imageBytes;
    std::uint32_t imageLength;
    Status status;
    std::string_view box;
};

class UpdateRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(UpdateRefusalTest, BoxStatusAndNothingSent) {
    const RefusalCase& tc = GetParam();
    LogReceiver log;
    Rig rig(SampleImageOptions{});
    const std::vector<std::uint8_t> bytes(tc.imageBytes, 0x11);
    UpdateContext context(tc.channel ? rig.channel : nullptr, bytes);
    context.imageLength = tc.imageLength;
    RecordingView view;
    view.InterleaveLog(&log);

    EXPECT_EQ(UpdateThreadProc(&view, context), tc.status);
    const auto boxes = view.CallsOf(ViewCall::kMessageBox);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, tc.box);
    EXPECT_EQ(boxes[0].caption, "SovRa firmware update");
    EXPECT_TRUE(rig.channel->Requests().empty());
    EXPECT_TRUE(view.CallsOf(ViewCall::kStageText).empty());
    EXPECT_EQ(LogOf(view), std::vector<LogEntry>{Entry(kEventUpdateFailed)});
    EXPECT_EQ(context.result.endedIn, UpdateStep::kPrecondition);
    EXPECT_TRUE(view.CloseEnabled());
}

INSTANTIATE_TEST_SUITE_P(
    Preconditions, UpdateRefusalTest,
    ::testing::Values(RefusalCase{"NoDevice", false, 64, 64, E_NOINTERFACE, kNoDeviceText},
                      RefusalCase{"NoBytes", true, 0, 0, E_HANDLE, kNoResourcesText},
                      RefusalCase{"LengthZero", true, 64, 0, E_HANDLE, kNoResourcesText},
                      RefusalCase{"LengthPastBytes", true, 64, 65, E_HANDLE, kNoResourcesText}),
    [](const auto& info) { return std::string(info.param.name); });

// Where a fault strikes: the prepare request, a read of Stage 1, a write of
// Stage 3 or a read of the check after it. A negative chunk counts from the
// stage's end (-1 is its last chunk).
enum class Phase { kPrepare, kRead, kWrite, kVerifyRead };
struct FaultAt {
    Phase phase;
    int chunk = 0;
};
enum class Fault { kStall, kUnplug, kCorrupt };

struct FaultCase {
    const char* name;
    Fault fault;
    FaultAt at;
    Status status;
    UpdateStep endedIn;
    // Writes that reached the device: -1 all of them, else the chunk index
    // of the fault's write (the ones before it went through).
    int goodWrites;
    std::vector<SystemEvent> entries;
};

std::uint64_t RequestNumber(FaultAt at, std::uint32_t writes) {
    const auto index = [](int chunk, std::uint32_t count) {
        return chunk < 0 ? count - static_cast<std::uint32_t>(-chunk)
                         : static_cast<std::uint32_t>(chunk);
    };
    switch (at.phase) {
        case Phase::kPrepare:
            return 1;
        case Phase::kRead:
            return 2 + index(at.chunk, ChunkCount);
        case Phase::kWrite:
            return 2 + ChunkCount + index(at.chunk, writes);
        case Phase::kVerifyRead:
            return 2 + ChunkCount + writes + index(at.chunk, writes);
    }
    return 0;
}

class UpdateFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(UpdateFaultTest, OutcomeEntriesAndWhatReachedTheDevice) {
    const FaultCase& tc = GetParam();
    const std::uint32_t writes = Rig(SampleImageOptions{}).Writes();
    sim::FaultPlan plan;
    const std::uint64_t n = RequestNumber(tc.at, writes);
    (tc.fault == Fault::kStall    ? plan.failAt
     : tc.fault == Fault::kUnplug ? plan.unplugAt
                                  : plan.corruptAt) = n;
    Rig rig(SampleImageOptions{}, plan);
    rig.context.options.verify = true;
    LogReceiver log;
    RecordingView view;
    view.InterleaveLog(&log);

    EXPECT_EQ(UpdateThreadProc(&view, rig.context), tc.status);
    EXPECT_EQ(rig.context.result.endedIn, tc.endedIn);
    std::vector<LogEntry> want;
    for (const auto& e : tc.entries) {
        want.push_back(Entry(e));
    }
    EXPECT_EQ(LogOf(view), want);
    const auto messages = view.CallsOf(ViewCall::kMessageText);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, Succeeded(tc.status) ? kUpdateSucceededText : kUpdateFailedText);

    // Nothing follows the failing request.
    EXPECT_EQ(rig.channel->Requests().size(),
              Succeeded(tc.status) ? 1 + ChunkCount + 2 * writes : n);
    const std::uint32_t good =
        tc.goodWrites < 0 ? writes : static_cast<std::uint32_t>(tc.goodWrites);
    const auto sent = RequestsWith(*rig.channel, CommandWriteFlash);
    const auto reached =
        std::count_if(sent.begin(), sent.end(), [](const auto& r) { return r.status == S_OK; });
    EXPECT_EQ(static_cast<std::uint32_t>(reached), good);
    EXPECT_EQ(rig.context.result.writesSent, static_cast<std::uint32_t>(sent.size()));

    // The device holds the new image up to the last write that went
    // through, and its old flash after it.
    const auto flash = rig.model->Flash();
    const std::size_t cut = std::size_t{good} * ChunkSize;
    EXPECT_TRUE(
        std::equal(flash.begin(), flash.begin() + static_cast<long>(cut), rig.expected.begin()));
    EXPECT_TRUE(std::equal(flash.begin() + static_cast<long>(cut), flash.end(),
                           rig.oldFlash.begin() + static_cast<long>(cut)));
    EXPECT_EQ(rig.context.flashImage.capacity(), 0u);
}

const std::vector<SystemEvent> kFailedInStage1{kEventStage1, kEventUpdateFailed};
const std::vector<SystemEvent> kFailedInStage3{kEventStage1, kEventStage2, kEventStage3,
                                               kEventUpdateFailed};

INSTANTIATE_TEST_SUITE_P(
    Faults, UpdateFaultTest,
    ::testing::Values(FaultCase{"PrepareFails",
                                Fault::kStall,
                                {Phase::kPrepare},
                                E_DEVICE_STALL,
                                UpdateStep::kReadBack,
                                0,
                                kFailedInStage1},
                      FaultCase{"FirstReadFails",
                                Fault::kStall,
                                {Phase::kRead, 0},
                                E_DEVICE_STALL,
                                UpdateStep::kReadBack,
                                0,
                                kFailedInStage1},
                      FaultCase{"MiddleReadFails",
                                Fault::kStall,
                                {Phase::kRead, 2048},
                                E_DEVICE_STALL,
                                UpdateStep::kReadBack,
                                0,
                                kFailedInStage1},
                      FaultCase{"LastReadFails",
                                Fault::kStall,
                                {Phase::kRead, -1},
                                E_DEVICE_STALL,
                                UpdateStep::kReadBack,
                                0,
                                kFailedInStage1},
                      FaultCase{"GoneInStage1",
                                Fault::kUnplug,
                                {Phase::kRead, 1000},
                                E_DEVICE_GONE,
                                UpdateStep::kReadBack,
                                0,
                                kFailedInStage1},
                      FaultCase{"FirstWriteFails",
                                Fault::kStall,
                                {Phase::kWrite, 0},
                                E_DEVICE_STALL,
                                UpdateStep::kWrite,
                                0,
                                kFailedInStage3},
                      FaultCase{"MiddleWriteFails",
                                Fault::kStall,
                                {Phase::kWrite, 20},
                                E_DEVICE_STALL,
                                UpdateStep::kWrite,
                                20,
                                kFailedInStage3},
                      FaultCase{"GoneInStage3",
                                Fault::kUnplug,
                                {Phase::kWrite, 30},
                                E_DEVICE_GONE,
                                UpdateStep::kWrite,
                                30,
                                kFailedInStage3},
                      // A corrupted chunk in the check after writing: caught.
                      FaultCase{"CorruptCheckRead",
                                Fault::kCorrupt,
                                {Phase::kVerifyRead, 5},
                                E_VERIFY_MISMATCH,
                                UpdateStep::kVerify,
                                -1,
                                kFailedInStage3},
                      // A corrupted read-back beyond the new image is never written, so
                      // the update is whole. (Corruption inside the image's range cannot
                      // be told from what the flash holds; the merge takes it as read.)
                      FaultCase{"CorruptReadPastImage",
                                Fault::kCorrupt,
                                {Phase::kRead, 4000},
                                S_OK,
                                UpdateStep::kNone,
                                -1,
                                {kEventStage1, kEventStage2, kEventStage3, kEventFirmwareUpdated}}),
    [](const auto& info) { return std::string(info.param.name); });

// The last write has its own case: its number depends on the image.
TEST(UpdateFaultTest, LastWriteFailsAfterAllOthersWentThrough) {
    const std::uint32_t writes = Rig(SampleImageOptions{}).Writes();
    sim::FaultPlan plan;
    plan.failAt = RequestNumber({Phase::kWrite, -1}, writes);
    Rig rig(SampleImageOptions{}, plan);
    RecordingView view;
    EXPECT_EQ(RunUpdateSequence(view, rig.context), E_DEVICE_STALL);
    const auto sent = RequestsWith(*rig.channel, CommandWriteFlash);
    ASSERT_EQ(sent.size(), writes);
    EXPECT_EQ(sent.back().status, E_DEVICE_STALL);
    EXPECT_EQ(rig.context.result.writesSent, writes);
}

struct RefusedImageCase {
    const char* name;
    std::vector<std::uint8_t> (*make)();
};

class UpdateMergeRefusalTest : public ::testing::TestWithParam<RefusedImageCase> {};

TEST_P(UpdateMergeRefusalTest, EndsBeforeStage3WithNothingWritten) {
    Rig rig(SampleImageOptions{});
    const std::vector<std::uint8_t> bad = GetParam().make();
    UpdateContext context(rig.channel, bad);
    LogReceiver log;
    RecordingView view;
    view.InterleaveLog(&log);
    EXPECT_TRUE(Failed(UpdateThreadProc(&view, context)));
    EXPECT_EQ(context.result.endedIn, UpdateStep::kMerge);
    EXPECT_TRUE(RequestsWith(*rig.channel, CommandWriteFlash).empty());
    EXPECT_TRUE(rig.model->Flash() == rig.oldFlash);
    EXPECT_EQ(LogOf(view), (std::vector<LogEntry>{Entry(kEventStage1), Entry(kEventStage2),
                                                  Entry(kEventUpdateFailed)}));
}

INSTANTIATE_TEST_SUITE_P(
    Images, UpdateMergeRefusalTest,
    ::testing::Values(
        // Longer than the flash: once copied in, it could not be written whole.
        RefusedImageCase{"LongerThanFlash",
                         [] {
                             auto image = MakeSampleImage({});
                             image.resize(FlashSize + 4, 0);
                             return image;
                         }},
        // Every count word 0x01010101: the first record runs past the file.
        RefusedImageCase{"RecordPastEnd", [] { return std::vector<std::uint8_t>(1024, 0x01); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UpdateSequenceTest, ReadBackIsKeptBeforeAnythingIsWritten) {
    Rig rig(SampleImageOptions{});
    std::vector<std::uint8_t> kept;
    std::size_t writesWhenKept = 99;
    rig.context.options.keepReadBack = [&](std::span<const std::uint8_t> readBack) {
        kept.assign(readBack.begin(), readBack.end());
        writesWhenKept = RequestsWith(*rig.channel, CommandWriteFlash).size();
        return E_BACKUP_FAILED;
    };
    RecordingView view;
    EXPECT_EQ(RunUpdateSequence(view, rig.context), E_BACKUP_FAILED);
    EXPECT_EQ(rig.context.result.endedIn, UpdateStep::kKeepReadBack);
    EXPECT_TRUE(kept == rig.oldFlash);
    EXPECT_EQ(writesWhenKept, 0u);
    EXPECT_TRUE(RequestsWith(*rig.channel, CommandWriteFlash).empty());
    EXPECT_EQ(rig.context.flashImage.capacity(), 0u);
}

TEST(UpdateSequenceTest, RestoreWritesTheDumpAsItIs) {
    Rig rig(SampleImageOptions{});
    std::vector<std::uint8_t> dump(FlashSize);
    for (std::size_t i = 0; i < dump.size(); ++i) {
        dump[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    UpdateContext context(rig.channel, dump);
    context.options.mode = UpdateMode::kRestore;
    context.options.verify = true;
    RecordingView view;
    EXPECT_EQ(RunUpdateSequence(view, context), S_OK);
    EXPECT_TRUE(rig.model->Flash() == dump);
    EXPECT_EQ(RequestsWith(*rig.channel, CommandWriteFlash).size(), ChunkCount);

    // Anything but the whole flash is refused before a write.
    const std::vector<std::uint8_t> shortDump(FlashSize - 1, 0);
    UpdateContext refused(rig.channel, shortDump);
    refused.options.mode = UpdateMode::kRestore;
    EXPECT_EQ(RunUpdateSequence(view, refused), E_IMAGE_TOO_SHORT);
    EXPECT_EQ(refused.result.endedIn, UpdateStep::kMerge);
    EXPECT_EQ(RequestsWith(*rig.channel, CommandWriteFlash).size(), ChunkCount);
}

}  // namespace
}  // namespace sovra

namespace sovra {
namespace {

// Asks the update to stop when a given stage begins.
class CancellingView final : public RecordingView {
  public:
    CancellingView(std::string_view stage, std::atomic<bool>& cancel)
        : stage_(stage), cancel_(cancel) {}
    void SetStageText(std::string_view t) override {
        if (t == stage_) {
            cancel_.store(true);
        }
        RecordingView::SetStageText(t);
    }

  private:
    std::string_view stage_;
    std::atomic<bool>& cancel_;
};

struct CancelCase {
    const char* name;
    std::string_view stage;
    Status status;
    UpdateStep endedIn;
    std::size_t requests;  // -1: a whole update's
};

class UpdateCancelTest : public ::testing::TestWithParam<CancelCase> {};

TEST_P(UpdateCancelTest, StopsOnlyWhileNothingIsWritten) {
    const CancelCase& tc = GetParam();
    Rig rig(SampleImageOptions{});
    std::atomic<bool> cancel{false};
    rig.context.options.cancel = &cancel;
    CancellingView view(tc.stage, cancel);
    EXPECT_EQ(RunUpdateSequence(view, rig.context), tc.status);
    EXPECT_EQ(rig.context.result.endedIn, tc.endedIn);
    const std::size_t whole = 1 + ChunkCount + rig.Writes();
    EXPECT_EQ(rig.channel->Requests().size(), tc.requests == std::size_t(-1) ? whole : tc.requests);
    EXPECT_TRUE(rig.model->Flash() == (Succeeded(tc.status) ? rig.expected : rig.oldFlash));
}

INSTANTIATE_TEST_SUITE_P(
    Stages, UpdateCancelTest,
    ::testing::Values(
        // The prepare request has gone; no read follows.
        CancelCase{"InStage1", kStage1Text, E_UPDATE_CANCELLED, UpdateStep::kReadBack, 1},
        CancelCase{"InStage2", kStage2Text, E_UPDATE_CANCELLED, UpdateStep::kMerge, 1 + ChunkCount},
        // Once writing has begun the update goes to its end.
        CancelCase{"InStage3", kStage3Text, S_OK, UpdateStep::kNone, std::size_t(-1)}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sovra
