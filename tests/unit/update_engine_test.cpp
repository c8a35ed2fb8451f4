// The update engine against an in-process virtual beamformer: what the
// device holds after each kind of fault, the backup, the published
// progress and the system-log trail.

#include "update/update_engine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "app/event_log.h"
#include "app/sha256.h"
#include "flash/image_format.h"
#include "flash/merge.h"
#include "flash/sample_image.h"
#include "sim/beamformer_model.h"
#include "sim/in_process_channel.h"
#include "tests/support/log_receiver.h"

namespace sovra {
namespace {

template <typename Row>
requires requires(const Row& r) {
    r.name;
}
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

using testing::Entry;
using testing::LogEntry;

constexpr FileTime kNow = 133'500'000'000'000'000ULL;
const DeviceEntry kDevice{0xabc, 0x10, 0x102, "/dev/bus/usb/001/004"};

std::vector<std::uint8_t> DeviceFlash(std::uint32_t seed) {
    return MakeSampleFlash({.records = 6,
                            .seed = seed,
                            .keptTime = 131'000'000'000'000'000ULL,
                            .updateTime = 132'000'000'000'000'000ULL});
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Every request goes through `hook`, which may pass it on (`forward`) or
// answer it itself: the faults the model has no option for.
class HookedChannel final : public DeviceChannel {
  public:
    using Hook = std::function<Status(std::uint64_t n, const ControlSetup&, std::span<std::uint8_t>,
                                      const std::function<Status()>& forward)>;
    HookedChannel(std::shared_ptr<sim::BeamformerModel> model, Hook hook)
        : inner_(std::move(model), /*record=*/false), hook_(std::move(hook)) {}
    Status Transfer(const ControlSetup& cmd, std::span<std::uint8_t> data) override {
        const auto forward = [&] { return inner_.Transfer(cmd, data); };
        return hook_ ? hook_(++n_, cmd, data, forward) : forward();
    }

  private:
    sim::InProcessChannel inner_;
    Hook hook_;
    std::uint64_t n_ = 0;
};

// The device, its old flash, the firmware file, a backup folder and a log.
class EngineTest : public ::testing::Test {
  public:
    void SetUp() override {
        char dirTemplate[] = "/tmp/sovra-engine-XXXXXX";
        ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
        dir = dirTemplate;
        ::setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
        backups = dir + "/state/sovra-firmware-update/backups";
        oldFlash = DeviceFlash(7);
        firmware = MakeSampleImage({.records = 3, .seed = 11});
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    // The flash a good update leaves: the merge of the old flash and the file.
    std::vector<std::uint8_t> Merged() const {
        std::vector<std::uint8_t> expected = oldFlash;
        std::uint32_t length = static_cast<std::uint32_t>(firmware.size());
        NullProgress quiet;
        EXPECT_EQ(MergeFirmware(expected, firmware, length, FixedClock(kNow), quiet), S_OK);
        return expected;
    }
    std::uint32_t Writes() const {
        return static_cast<std::uint32_t>((firmware.size() + ChunkSize - 1) / ChunkSize);
    }

    UpdateOutcome Run(sim::FaultPlan faults = {}, HookedChannel::Hook hook = {},
                      const std::function<void(UpdateJob&)>& adjust = {}) {
        model = std::make_shared<sim::BeamformerModel>(oldFlash, faults);
        UpdateJob job;
        job.program = "engine-test";
        job.channel = std::make_shared<HookedChannel>(model, std::move(hook));
        job.device = kDevice;
        job.imagePath = dir + "/bf100.img";
        job.image = firmware;
        job.options.backup = BackupPolicy::Folder(backups);
        job.options.clock = &clock;
        if (adjust) {
            adjust(job);
        }
        UpdateProgress progress([&] {
            const std::lock_guard lock(statesMu);
            states.push_back(progress.Snapshot());
        });
        UpdateRun run;
        run.Start(job, progress);
        run.Join();
        return progress.Outcome().value();
    }

    std::vector<HistoryRecord> History() const {
        std::vector<HistoryRecord> records;
        std::vector<SkippedLine> skipped;
        std::string error;
        EXPECT_TRUE(ReadHistory(DefaultHistoryPath(), records, skipped, error)) << error;
        EXPECT_TRUE(skipped.empty());
        return records;
    }

    std::vector<std::string> Backups() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(backups, ec)) {
            names.push_back(e.path().string());
        }
        return names;
    }

    std::string dir, backups;
    std::vector<std::uint8_t> oldFlash, firmware;
    std::shared_ptr<sim::BeamformerModel> model;
    FixedClock clock{kNow};
    testing::LogReceiver log;
    std::mutex statesMu;
    std::vector<ProgressState> states;
};

TEST_F(EngineTest, AGoodUpdateLeavesTheMergedImageTheBackupAndTheTrail) {
    const UpdateOutcome out = Run();
    ASSERT_TRUE(out.Succeeded()) << out.failure;
    EXPECT_EQ(out.device, DeviceHolds::kNewImage);
    EXPECT_TRUE(out.deviceInfoCarried);
    EXPECT_TRUE(model->Flash() == Merged());
    // Two reads of every chunk, the writes, and their check.
    EXPECT_EQ(model->RequestCount(), 1 + 2 * ChunkCount + 2 * Writes());

    ASSERT_EQ(Backups().size(), 1u);
    EXPECT_EQ(out.backup.path, Backups()[0]);
    EXPECT_TRUE(out.backup.valid);
    EXPECT_EQ(out.backup.restoreFrom, out.backup.path);
    EXPECT_TRUE(ReadFile(out.backup.path) == oldFlash);

    EXPECT_EQ(log.Drain(), (std::vector<LogEntry>{Entry(kEventUpdateStarted), Entry(kEventStage1),
                                                  Entry(kEventStage2), Entry(kEventStage3),
                                                  Entry(kEventFirmwareUpdated)}));
    const std::vector<HistoryRecord> history = History();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].program, "engine-test");
    EXPECT_EQ(history[0].result, "updated");
    EXPECT_EQ(history[0].devicePath, kDevice.path);
    EXPECT_EQ(history[0].firmwareSha256, Sha256Hex(Sha256(firmware)));
    EXPECT_EQ(history[0].backup, out.backup.path);

    // The bars only move forward within a stage; Stage 1 ends at 99 with 99
    // steps of the overall bar; the write ends at the share written before
    // its last chunk.
    ASSERT_FALSE(states.empty());
    int overall = 0;
    for (std::size_t i = 1; i < states.size(); ++i) {
        const ProgressState& a = states[i - 1];
        const ProgressState& b = states[i];
        EXPECT_GE(b.overallSteps, a.overallSteps);
        EXPECT_GE(static_cast<int>(b.stage), static_cast<int>(a.stage));
        const bool restarted = b.stage != a.stage || (b.operation == Operation::kVerify &&
                                                      a.operation != Operation::kVerify);
        if (!restarted) {
            EXPECT_GE(b.stagePercent, a.stagePercent) << i;
        }
        if (a.stage == UpdateStage::kReadBack && b.stage == UpdateStage::kBuild) {
            EXPECT_EQ(a.stagePercent, 99);
            overall = a.overallSteps;
        }
    }
    EXPECT_EQ(overall, 99);
    const ProgressState& last = states.back();
    EXPECT_TRUE(last.finished);
    EXPECT_EQ(last.stage, UpdateStage::kWrite);
    EXPECT_EQ(last.operation, Operation::kComplete);
    EXPECT_EQ(last.requestsDone, last.requestsExpected);
    EXPECT_EQ(last.stagePercent, static_cast<int>(6400 * (Writes() - 1) / firmware.size()));
}

// Faults on the way: what the device holds afterwards, and whether a
// backup was kept.
struct FaultCase {
    const char* name;
    sim::FaultPlan (*faults)(std::uint32_t writes);
    HookedChannel::Hook (*hook)(std::uint32_t writes);
    Status status;
    DeviceHolds holds;
    bool backup;  // kept, and equal to the old flash
};

// The requests of a job: 1 prepare, 4096 first reads, 4096 second reads,
// then the writes, then the check.
constexpr std::uint64_t kFirstWrite = 1 + 2 * std::uint64_t{ChunkCount} + 1;

HookedChannel::Hook NoHook(std::uint32_t) {
    return {};
}

class EngineFaultTest : public EngineTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(EngineFaultTest, TheDeviceHoldsItsOldFlashOrExactlyTheNewImage) {
    const FaultCase& c = GetParam();
    const UpdateOutcome out = Run(c.faults(Writes()), c.hook(Writes()));
    EXPECT_EQ(out.status, c.status) << out.failure;
    EXPECT_EQ(out.device, c.holds);
    const std::vector<std::uint8_t> flash = model->Flash();
    if (c.holds == DeviceHolds::kUntouched) {
        EXPECT_TRUE(flash == oldFlash);
    } else if (c.holds == DeviceHolds::kNewImage) {
        EXPECT_TRUE(flash == Merged());
    } else {
        EXPECT_TRUE(flash != oldFlash);
    }
    EXPECT_EQ(Backups().size(), c.backup ? 1u : 0u);
    if (c.backup) {
        EXPECT_TRUE(ReadFile(Backups()[0]) == oldFlash);
    }
    const std::vector<HistoryRecord> history = History();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].result, out.Succeeded() ? "updated" : "failed");
    EXPECT_EQ(history[0].deviceState, DeviceHoldsText(c.holds));
    EXPECT_EQ(history[0].message, out.failure);
    if (!out.Succeeded()) {
        // The failure is said in a sentence with its place, in the log too.
        EXPECT_NE(out.failure.find("0x"), std::string::npos) << out.failure;
        const std::vector<LogEntry> entries = log.Drain();
        ASSERT_GE(entries.size(), 2u);
        EXPECT_EQ(entries[entries.size() - 2], Entry(kEventUpdateFailed));
        EXPECT_EQ(entries.back().text, kDevice.path + ": " + out.failure + ".");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, EngineFaultTest,
    ::testing::Values(
        FaultCase{"ReadStalls", [](std::uint32_t) { return sim::FaultPlan{.failAt = 100}; }, NoHook,
                  E_DEVICE_STALL, DeviceHolds::kUntouched, false},
        FaultCase{"GoneInTheSecondRead",
                  [](std::uint32_t) { return sim::FaultPlan{.unplugAt = 5000}; }, NoHook,
                  E_DEVICE_GONE, DeviceHolds::kUntouched, false},
        // A bit flipped on the way in, in either read, is read again: the
        // device's own block is carried over as it is.
        FaultCase{"FirstReadOfTheFirstChunkCorrupt",
                  [](std::uint32_t) { return sim::FaultPlan{.corruptAt = 2}; }, NoHook, S_OK,
                  DeviceHolds::kNewImage, true},
        FaultCase{"SecondReadOfTheFirstChunkCorrupt",
                  [](std::uint32_t) { return sim::FaultPlan{.corruptAt = 2 + ChunkCount}; }, NoHook,
                  S_OK, DeviceHolds::kNewImage, true},
        // A chunk that reads differently every time cannot be trusted.
        FaultCase{"EveryReadOfAChunkDiffers", [](std::uint32_t) { return sim::FaultPlan{}; },
                  [](std::uint32_t) -> HookedChannel::Hook {
                      return [reads = std::uint8_t{0}](std::uint64_t, const ControlSetup& cmd,
                                                       std::span<std::uint8_t> data,
                                                       const auto& forward) mutable {
                          const Status s = forward();
                          if (cmd.bRequest == CommandReadFlash && cmd.wIndex == 0x0100) {
                              data[5] = ++reads;
                          }
                          return s;
                      };
                  },
                  E_READBACK_UNSTABLE, DeviceHolds::kUntouched, false},
        FaultCase{"WriteStalls",
                  [](std::uint32_t) { return sim::FaultPlan{.failAt = kFirstWrite + 3}; }, NoHook,
                  E_DEVICE_STALL, DeviceHolds::kPartlyWritten, true},
        FaultCase{"GoneDuringTheCheck",
                  [](std::uint32_t w) { return sim::FaultPlan{.unplugAt = kFirstWrite + w + 2}; },
                  NoHook, E_DEVICE_GONE, DeviceHolds::kWrittenUnchecked, true},
        // A write acknowledged but not kept, and a single byte changed on
        // the way out: the check notices either.
        FaultCase{"AWriteIsDropped", [](std::uint32_t) { return sim::FaultPlan{}; },
                  [](std::uint32_t) -> HookedChannel::Hook {
                      return [](std::uint64_t n, const ControlSetup&, std::span<std::uint8_t>,
                                const auto& forward) {
                          return n == kFirstWrite + 1 ? S_OK : forward();
                      };
                  },
                  E_VERIFY_MISMATCH, DeviceHolds::kWrittenDiffers, true},
        FaultCase{"OneByteChangesOnTheWayOut", [](std::uint32_t) { return sim::FaultPlan{}; },
                  [](std::uint32_t w) -> HookedChannel::Hook {
                      return [w](std::uint64_t n, const ControlSetup&, std::span<std::uint8_t> data,
                                 const auto& forward) {
                          if (n != kFirstWrite + w - 1) {
                              return forward();
                          }
                          std::vector<std::uint8_t> copy(data.begin(), data.end());
                          data[63] ^= 0x01;
                          const Status s = forward();
                          std::copy(copy.begin(), copy.end(), data.begin());
                          return s;
                      };
                  },
                  E_VERIFY_MISMATCH, DeviceHolds::kWrittenDiffers, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, ACorruptedReadIsReadAgainAndCounted) {
    const UpdateOutcome out = Run({.corruptAt = 3});
    ASSERT_TRUE(out.Succeeded()) << out.failure;
    EXPECT_EQ(out.rereadChunks, 1u);
}

// Refused before anything is sent: the device has not had a single request
// and no backup was written.
struct RefusalCase {
    const char* name;
    void (*adjust)(EngineTest&, UpdateJob&);
    Status status;
};

class EngineRefusalTest : public EngineTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(EngineRefusalTest, NothingIsSent) {
    const RefusalCase& c = GetParam();
    const UpdateOutcome out = Run({}, {}, [&](UpdateJob& job) { c.adjust(*this, job); });
    EXPECT_EQ(out.status, c.status) << out.failure;
    EXPECT_EQ(out.endedIn, UpdateStep::kPrecondition);
    EXPECT_EQ(model->RequestCount(), 0u);
    EXPECT_FALSE(out.failure.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, EngineRefusalTest,
    ::testing::Values(RefusalCase{"NoDevice", [](EngineTest&, UpdateJob& j) { j.channel.reset(); },
                                  E_NOINTERFACE},
                      RefusalCase{"NoImage", [](EngineTest&, UpdateJob& j) { j.image = {}; },
                                  E_HANDLE},
                      RefusalCase{"NotAnImage",
                                  [](EngineTest& t, UpdateJob& j) {
                                      t.firmware.assign(4096, 0x01);
                                      j.image = t.firmware;
                                  },
                                  E_IMAGE_RECORD_OVERRUN},
                      RefusalCase{"BackupFileExists",
                                  [](EngineTest& t, UpdateJob& j) {
                                      WriteFile(t.dir + "/old.bin", {1, 2, 3});
                                      j.options.backup = BackupPolicy::File(t.dir + "/old.bin");
                                  },
                                  E_BACKUP_FAILED},
                      RefusalCase{"BackupFolderIsAFile",
                                  [](EngineTest& t, UpdateJob& j) {
                                      WriteFile(t.dir + "/file", {1});
                                      j.options.backup =
                                          BackupPolicy::Folder(t.dir + "/file/backups");
                                  },
                                  E_BACKUP_FAILED},
                      RefusalCase{"RestoreOfAnInvalidFlash",
                                  [](EngineTest& t, UpdateJob& j) {
                                      t.firmware = DeviceFlash(7);
                                      t.firmware[100] ^=
                                          0xFF;  // a data word: the checksum no longer holds
                                      j.image = t.firmware;
                                      j.options.mode = UpdateMode::kRestore;
                                  },
                                  E_IMAGE_BAD_CHECKSUM},
                      RefusalCase{"CancelledBeforeTheStart",
                                  [](EngineTest&, UpdateJob& j) {
                                      static const std::atomic<bool> stop{true};
                                      j.options.cancel = &stop;
                                  },
                                  E_UPDATE_CANCELLED}),
    [](const auto& info) { return std::string(info.param.name); });

// A firmware file without a device-info record would erase the device's
// own block: refused once the read-back shows the device has one.
TEST_F(EngineTest, AFileWithoutADeviceInfoRecordIsRefusedForADeviceWithOne) {
    firmware = MakeSampleImage({.records = 3, .deviceInfo = false, .seed = 11});
    const UpdateOutcome out = Run();
    EXPECT_EQ(out.status, E_FIRMWARE_NO_DEVICE_INFO) << out.failure;
    EXPECT_EQ(out.device, DeviceHolds::kUntouched);
    EXPECT_TRUE(model->Flash() == oldFlash);
    EXPECT_NE(out.failure.find("bf100.img"), std::string::npos) << out.failure;
}

// A read-back that does not walk as a valid flash is said so, its backup is
// marked, and a repair points to the newest earlier valid backup of the
// same device.
TEST_F(EngineTest, AnInvalidReadBackIsToldAndTheRepairPointsToAnEarlierGoodBackup) {
    std::filesystem::create_directories(backups);
    const std::string good = backups + "/0abc-0010-bus001-dev004-20260101T000000Z.bin";
    WriteFile(good, oldFlash);
    WriteFile(backups + "/0abc-0010-bus001-dev009-20260301T000000Z.bin", DeviceFlash(8));
    // A half-written flash: the start of another image over the old one.
    const std::vector<std::uint8_t> other = DeviceFlash(99);
    std::copy_n(other.begin(), 300, oldFlash.begin());

    const UpdateOutcome out = Run({.failAt = kFirstWrite + 1});
    EXPECT_FALSE(out.readBackWarning.empty());
    EXPECT_FALSE(out.backup.valid);
    EXPECT_EQ(out.backup.restoreFrom, good);
    bool warned = false;
    for (const LogEntry& e : log.Drain()) {
        warned = warned || (e.type == EVENTLOG_WARNING_TYPE &&
                            e.text.find("not a valid image") != std::string::npos);
    }
    EXPECT_TRUE(warned);
}

// A restore: the saved flash of this device goes back as it is; another
// device's only when forced, and it is logged as a restore.
TEST_F(EngineTest, ARestoreWritesOnlyThisDevicesFlashUnlessForced) {
    const std::vector<std::uint8_t> earlier = DeviceFlash(7);  // same device data
    oldFlash = Merged();
    firmware = earlier;
    const auto restore = [](UpdateJob& j) { j.options.mode = UpdateMode::kRestore; };
    UpdateOutcome out = Run({}, {}, restore);
    ASSERT_TRUE(out.Succeeded()) << out.failure;
    EXPECT_TRUE(model->Flash() == earlier);
    EXPECT_FALSE(out.deviceInfoReplaced);
    EXPECT_EQ(log.Drain(), (std::vector<LogEntry>{Entry(kEventRestoreStarted), Entry(kEventStage1),
                                                  Entry(kEventStage2), Entry(kEventStage3),
                                                  Entry(kEventFlashRestored)}));

    firmware = DeviceFlash(8);  // another device's data
    out = Run({}, {}, restore);
    EXPECT_EQ(out.status, E_RESTORE_OTHER_DEVICE);
    EXPECT_EQ(out.device, DeviceHolds::kUntouched);
    EXPECT_TRUE(model->Flash() == oldFlash);

    out = Run({}, {}, [](UpdateJob& j) {
        j.options.mode = UpdateMode::kRestore;
        j.options.force = true;
    });
    ASSERT_TRUE(out.Succeeded()) << out.failure;
    EXPECT_TRUE(out.deviceInfoReplaced);
    EXPECT_TRUE(model->Flash() == firmware);
}

// Once writing has begun, a request to stop waits for the end.
TEST_F(EngineTest, CancellingWhileWritingFinishesTheWrite) {
    std::atomic<bool> stop{false};
    const UpdateOutcome out = Run(
        {},
        [&stop](std::uint64_t n, const ControlSetup&, std::span<std::uint8_t>,
                const std::function<Status()>& forward) {
            if (n == kFirstWrite + 1) {
                stop = true;
            }
            return forward();
        },
        [&stop](UpdateJob& j) { j.options.cancel = &stop; });
    EXPECT_TRUE(out.Succeeded()) << out.failure;
    EXPECT_TRUE(model->Flash() == Merged());
}

TEST_F(EngineTest, AWorkerThatCannotStartEndsTheJobAsFailed) {
    UpdateJob job;
    job.device = kDevice;
    UpdateProgress progress;
    UpdateRun run;
    EXPECT_FALSE(run.Start(job, progress, [](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }));
    ASSERT_TRUE(progress.Snapshot().finished);
    EXPECT_EQ(progress.Outcome()->status, E_WORKER_START);
    const std::vector<LogEntry> entries = log.Drain();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], Entry(kEventUpdateStarted));
    EXPECT_EQ(entries[1], Entry(kEventUpdateFailed));
}

}  // namespace
}  // namespace sovra
