// The update engine against an in-process virtual beamformer: what the
// device holds after each kind of fault, the backup, the published
// progress and the system-log trail.

#include "update/update_engine.h"

#include <gtest/gtest.h>

#include <chrono>
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
#include "flash/flash_stages.h"
#include "flash/image_format.h"
#include "flash/info_area.h"
#include "flash/merge.h"
#include "flash/sample_image.h"
#include "sim/beamformer_model.h"
#include "sim/in_process_channel.h"
#include "tests/support/log_receiver.h"
#include "tests/support/temp_dir.h"

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

using testing::ReadFile;
using testing::WriteFile;

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
        ::setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
        backups = dir + "/state/sovra-firmware-update/backups";
        oldFlash = DeviceFlash(7);
        firmware = MakeSampleImage({.records = 3, .seed = 11});
    }

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
        notes = progress.NotesFrom(0);
        return progress.Outcome().value();
    }

    std::vector<HistoryRecord> History() const {
        std::vector<HistoryRecord> records;
        std::vector<SkippedLine> skipped;
        const Error e = ReadHistory(
            DefaultHistoryPath(), [&](HistoryRecord&& r) { records.push_back(std::move(r)); },
            [&](const SkippedLine& s) { skipped.push_back(s); });
        EXPECT_FALSE(e.Failed()) << e.What();
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

    testing::TempDir tmp{"sovra-engine"};
    std::string dir = tmp.Path(), backups;
    std::vector<std::uint8_t> oldFlash, firmware;
    std::shared_ptr<sim::BeamformerModel> model;
    FixedClock clock{kNow};
    testing::LogReceiver log;
    std::mutex statesMu;
    std::vector<ProgressState> states;
    std::vector<std::string> notes;
};

TEST_F(EngineTest, AGoodUpdateLeavesTheMergedImageTheBackupAndTheTrail) {
    const UpdateOutcome out = Run();
    ASSERT_TRUE(out.Succeeded()) << out.error.What();
    EXPECT_EQ(out.device, DeviceHolds::kNewImage);
    EXPECT_TRUE(out.deviceInfoCarried);
    EXPECT_TRUE(model->Flash() == Merged());
    // One read of every chunk, the few that confirm it, the writes and
    // their check.
    EXPECT_EQ(model->RequestCount(),
              1 + ChunkCount + UncoveredChunks(oldFlash).size() + 2 * Writes());

    ASSERT_EQ(Backups().size(), 1u);
    EXPECT_EQ(out.backup.path, Backups()[0]);
    EXPECT_TRUE(out.backup.valid);
    EXPECT_EQ(out.backup.restoreFrom, out.backup.path);
    EXPECT_TRUE(ReadFile(out.backup.path) == oldFlash);
    ASSERT_FALSE(notes.empty());
    EXPECT_NE(notes[0].find("(image region confirmed; the rest read once)"), std::string::npos)
        << notes[0];

    EXPECT_EQ(log.Drain(), (std::vector<LogEntry>{Entry(kEventUpdateStarted), Entry(kEventStage1),
                                                  Entry(kEventStage2), Entry(kEventStage3),
                                                  Entry(kEventFirmwareUpdated)}));
    const std::vector<HistoryRecord> history = History();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].program, "engine-test");
    EXPECT_EQ(history[0].result, "updated");
    EXPECT_EQ(history[0].devicePath, kDevice.path);
    EXPECT_EQ(history[0].vendorId, kDevice.vendorId);
    EXPECT_EQ(history[0].productId, kDevice.productId);
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

// The requests of a job: 1 prepare, 4096 reads, those that confirm the
// read, then the writes, then the check.
const std::uint64_t kFirstConfirmation = 1 + std::uint64_t{ChunkCount} + 1;
const std::uint64_t kFirstWrite = kFirstConfirmation + UncoveredChunks(DeviceFlash(7)).size();

HookedChannel::Hook NoHook(std::uint32_t) {
    return {};
}

// Whether `cmd` reads the chunk at `address` (below 64 KiB).
bool ReadsChunk(const ControlSetup& cmd, std::uint16_t address) {
    return cmd.bRequest == CommandReadFlash && cmd.wValue == 0x50 && cmd.wIndex == address;
}

// Reads of the chunk at `address` (below 64 KiB) answered as `change` says:
// the n-th read (from 1) gets `change(n, data)` applied after the device's
// answer.
HookedChannel::Hook ReadsOf(std::uint16_t address,
                            void (*change)(int n, std::span<std::uint8_t> data)) {
    return [address, change, n = 0](std::uint64_t, const ControlSetup& cmd,
                                    std::span<std::uint8_t> data, const auto& forward) mutable {
        const Status s = forward();
        if (ReadsChunk(cmd, address)) {
            change(++n, data);
        }
        return s;
    };
}

// A valid image is read once; a byte flipped in the first read of another
// chunk makes Stage 1 read the whole flash again, so `hook` sees the reads a
// damaged flash gets.
HookedChannel::Hook ReadTwice(HookedChannel::Hook hook) {
    auto other = ReadsOf(0x0200, [](int n, std::span<std::uint8_t> d) { d[1] ^= n == 1 ? 1 : 0; });
    return [hook = std::move(hook), other = std::move(other)](
               std::uint64_t i, const ControlSetup& cmd, std::span<std::uint8_t> data,
               const auto& forward) mutable {
        return hook(i, cmd, data, [&] { return other(i, cmd, data, forward); });
    };
}

class EngineFaultTest : public EngineTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(EngineFaultTest, TheDeviceHoldsItsOldFlashOrExactlyTheNewImage) {
    const FaultCase& c = GetParam();
    const UpdateOutcome out = Run(c.faults(Writes()), c.hook(Writes()));
    EXPECT_EQ(out.error.Code(), c.status) << out.error.What();
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
    EXPECT_EQ(history[0].message, out.error.What());
    if (!out.Succeeded()) {
        // The failure is said in a sentence with its place, in the log too.
        EXPECT_NE(out.error.What().find("0x"), std::string::npos) << out.error.What();
        const std::vector<LogEntry> entries = log.Drain();
        ASSERT_GE(entries.size(), 2u);
        EXPECT_EQ(entries[entries.size() - 2], Entry(kEventUpdateFailed));
        // Named by node and unit: the node is the next unit's after an unplug.
        const std::string unit = out.unit.empty() ? "unknown" : out.unit;
        EXPECT_EQ(entries.back().text,
                  kDevice.path + " (unit " + unit + ", serial unknown): " + out.error.What() + ".");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, EngineFaultTest,
    ::testing::Values(
        FaultCase{"ReadStalls", [](std::uint32_t) { return sim::FaultPlan{.failAt = 100}; }, NoHook,
                  E_DEVICE_STALL, DeviceHolds::kUntouched, false},
        FaultCase{"GoneWhileConfirmingTheRead",
                  [](std::uint32_t) { return sim::FaultPlan{.unplugAt = kFirstConfirmation}; },
                  NoHook, E_DEVICE_GONE, DeviceHolds::kUntouched, false},
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
        // The last byte of a chunk counts as much as the first.
        FaultCase{"SecondReadDiffersInTheLastByte", [](std::uint32_t) { return sim::FaultPlan{}; },
                  [](std::uint32_t) {
                      return ReadTwice(ReadsOf(0x0100, [](int n, std::span<std::uint8_t> d) {
                          d[63] ^= n == 2 ? 0x80 : 0;
                      }));
                  },
                  S_OK, DeviceHolds::kNewImage, true},
        // Five reads are allowed: the fifth agrees with the first.
        FaultCase{"AgreesOnlyOnTheFifthRead", [](std::uint32_t) { return sim::FaultPlan{}; },
                  [](std::uint32_t) {
                      return ReadTwice(ReadsOf(0x0100, [](int n, std::span<std::uint8_t> d) {
                          d[5] ^= n > 1 && n < 5 ? static_cast<std::uint8_t>(n) : 0;
                      }));
                  },
                  S_OK, DeviceHolds::kNewImage, true},
        // A write refused may still have been stored: never "untouched".
        FaultCase{"TheFirstWriteStalls", [](std::uint32_t) { return sim::FaultPlan{}; },
                  [](std::uint32_t) -> HookedChannel::Hook {
                      return [](std::uint64_t n, const ControlSetup&, std::span<std::uint8_t>,
                                const auto& forward) {
                          const Status s = forward();
                          return n == kFirstWrite ? E_DEVICE_STALL : s;
                      };
                  },
                  E_DEVICE_STALL, DeviceHolds::kPartlyWritten, true},
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

TEST_F(EngineTest, ReadAgainChunksAreCountedOnceEach) {
    // Chunk 4 needs all five reads, chunk 9 one more than two.
    const auto changes = [fourth = 0, ninth = 0](std::uint64_t, const ControlSetup& cmd,
                                                 std::span<std::uint8_t> data,
                                                 const std::function<Status()>& forward) mutable {
        const Status s = forward();
        if (ReadsChunk(cmd, 4 * ChunkSize)) {
            ++fourth;
            data[0] ^= fourth > 1 && fourth < 5 ? static_cast<std::uint8_t>(fourth) : 0;
        } else if (ReadsChunk(cmd, 9 * ChunkSize)) {
            data[1] ^= static_cast<std::uint8_t>(++ninth == 1 ? 1 : 0);
        }
        return s;
    };
    const UpdateOutcome out = Run({}, changes);
    ASSERT_TRUE(out.Succeeded()) << out.error.What();
    EXPECT_EQ(out.rereadChunks, 2u);
}

// A byte flipped on the way in, in the first read or in a confirming one,
// wherever it lands: the whole flash is read again, and the device ends
// with exactly the right image, its own block carried over as it is.
struct CorruptReadCase {
    const char* name;
    // The word hit, in the old flash.
    std::uint32_t (*word)(std::span<const std::uint8_t> flash);
    bool confirmingRead;  // else the first read
};

std::uint32_t DeviceInfoRecord(std::span<const std::uint8_t> flash) {
    return FindDeviceInfo(flash)->offset;
}

std::uint32_t EndMarker(std::span<const std::uint8_t> flash) {
    RecordWalker walker(flash);
    while (walker.Next()) {
    }
    return walker.position();
}

class EngineCorruptReadTest : public EngineTest,
                              public ::testing::WithParamInterface<CorruptReadCase> {};

TEST_P(EngineCorruptReadTest, EndsWithTheRightImage) {
    const CorruptReadCase& c = GetParam();
    const std::uint32_t byte = 4 * c.word(oldFlash);
    const std::uint32_t chunk = byte / ChunkSize;
    std::uint64_t request = 2 + chunk;
    if (c.confirmingRead) {
        const std::vector<std::uint32_t> chunks = UncoveredChunks(oldFlash);
        const auto at = std::find(chunks.begin(), chunks.end(), chunk);
        ASSERT_NE(at, chunks.end());
        request = kFirstConfirmation + static_cast<std::uint64_t>(at - chunks.begin());
    }
    const UpdateOutcome out =
        Run({.corruptAt = request, .corruptByte = static_cast<std::uint8_t>(byte % ChunkSize)});
    ASSERT_TRUE(out.Succeeded()) << out.error.What();
    EXPECT_TRUE(model->Flash() == Merged());
    EXPECT_TRUE(out.deviceInfoCarried);
    EXPECT_TRUE(ReadFile(out.backup.path) == oldFlash);
    EXPECT_TRUE(out.backup.valid);
    EXPECT_EQ(out.rereadChunks, 1u);
    // Read twice: the prepare, two reads of every chunk, the confirming reads
    // up to the one that differed, the chunk's third read, writes and check.
    EXPECT_GE(model->RequestCount(), 2 + 2 * ChunkCount + 2 * Writes());
    ASSERT_FALSE(notes.empty());
    EXPECT_NE(notes[0].find("(every chunk read twice)"), std::string::npos) << notes[0];
}

INSTANTIATE_TEST_SUITE_P(
    Words, EngineCorruptReadTest,
    ::testing::Values(
        CorruptReadCase{"HeaderWord", [](std::span<const std::uint8_t>) { return 0u; }, true},
        CorruptReadCase{"FirstRecordsCount", [](std::span<const std::uint8_t>) { return 1u; },
                        false},
        CorruptReadCase{"DeviceInfoTag",
                        [](std::span<const std::uint8_t> f) { return DeviceInfoRecord(f) + 1; },
                        false},
        CorruptReadCase{"DeviceInfoTagConfirming",
                        [](std::span<const std::uint8_t> f) { return DeviceInfoRecord(f) + 1; },
                        true},
        CorruptReadCase{"DeviceBlock",
                        [](std::span<const std::uint8_t> f) { return DeviceInfoRecord(f) + 2; },
                        false},
        CorruptReadCase{"AnOrdinaryRecordsTag",
                        [](std::span<const std::uint8_t> f) {
                            RecordWalker walker(f);
                            auto r = walker.Next();
                            while (r && r->IsDeviceInfo()) {
                                r = walker.Next();
                            }
                            return r->offset + 1;
                        },
                        false},
        CorruptReadCase{"EndMarker", EndMarker, false},
        CorruptReadCase{"EndMarkerConfirming", EndMarker, true},
        CorruptReadCase{"TheWordAfterTheEndMarker",
                        [](std::span<const std::uint8_t> f) { return EndMarker(f) + 1; }, true}),
    [](const auto& info) { return std::string(info.param.name); });

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
    EXPECT_EQ(out.error.Code(), c.status) << out.error.What();
    EXPECT_EQ(out.endedIn, UpdateStep::kPrecondition);
    EXPECT_EQ(model->RequestCount(), 0u);
    EXPECT_FALSE(out.error.What().empty());
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
    // The tag alone does not make a device-info record: its count must be 64.
    for (const bool taggedRecord : {false, true}) {
        firmware = MakeSampleImage({.records = 3, .deviceInfo = false, .seed = 11});
        if (taggedRecord) {
            Put32(firmware, 8, DeviceInfoTag);
        }
        const UpdateOutcome out = Run();
        EXPECT_EQ(out.error.Code(), E_FIRMWARE_NO_DEVICE_INFO) << out.error.What();
        EXPECT_EQ(out.device, DeviceHolds::kUntouched);
        EXPECT_TRUE(model->Flash() == oldFlash);
        EXPECT_NE(out.error.What().find("bf100.img"), std::string::npos) << out.error.What();
    }
}

// A device that already holds the firmware (the image built with the update
// time it holds equals its flash) is left alone unless a reinstall is asked.
struct CurrentCase {
    const char* name;
    bool holdsIt;
    bool skipWhenCurrent;
    bool written;
};

class EngineCurrentTest : public EngineTest, public ::testing::WithParamInterface<CurrentCase> {};

TEST_P(EngineCurrentTest, WritesOnlyWhatTheDeviceDoesNotHold) {
    const CurrentCase& c = GetParam();
    if (c.holdsIt) {
        // Updated earlier with this file, at another time than now.
        std::uint32_t length = static_cast<std::uint32_t>(firmware.size());
        NullProgress quiet;
        ASSERT_EQ(MergeFirmware(oldFlash, firmware, length, FixedClock(kNow - 1000), quiet), S_OK);
    }
    const UpdateOutcome out =
        Run({}, {}, [&](UpdateJob& j) { j.options.skipWhenCurrent = c.skipWhenCurrent; });
    ASSERT_TRUE(out.Succeeded()) << out.error.What();
    EXPECT_EQ(out.upToDate, !c.written);
    EXPECT_TRUE(model->Flash() == (c.written ? Merged() : oldFlash));
    EXPECT_EQ(Backups().size(), c.written ? 1u : 0u);
    const std::span<const std::uint8_t> old(oldFlash);
    const auto record = FindDeviceInfo(old);
    ASSERT_TRUE(record);
    const auto data = DeviceInfoBlock(old, *record).first(128);
    EXPECT_EQ(out.unit, Sha256Hex(Sha256(data)).substr(0, 16));
    const std::vector<HistoryRecord> history = History();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].result, c.written ? "updated" : "up-to-date");
    EXPECT_EQ(history[0].unit, out.unit);
    EXPECT_EQ(log.Drain().back(), Entry(c.written ? kEventFirmwareUpdated : kEventAlreadyCurrent));
}

INSTANTIATE_TEST_SUITE_P(Cases, EngineCurrentTest,
                         ::testing::Values(CurrentCase{"HoldsItLeftAlone", true, true, false},
                                           CurrentCase{"HoldsItReinstalled", true, false, true},
                                           CurrentCase{"HoldsAnotherWritten", false, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A read-back that does not walk as a valid flash is said so, its backup is
// marked, and a repair points only to an earlier valid backup provably the
// same unit's: never one found by the bus and address, which on a fixed
// port name whichever unit used it last.
struct HintCase {
    const char* name;
    const char* serial;         // the device's
    const char* historySerial;  // of the record that kept the good backup; null: none
    bool named;
};

class EngineHintTest : public EngineTest, public ::testing::WithParamInterface<HintCase> {};

TEST_P(EngineHintTest, NamesOnlyTheUnitsOwnBackup) {
    const HintCase& c = GetParam();
    std::filesystem::create_directories(backups);
    const std::string good = backups + "/0abc-0010-bus001-dev004-20260101T000000Z.bin";
    WriteFile(good, oldFlash);
    const std::string other = backups + "/0abc-0010-00112233aabbccdd-20260301T000000Z.bin";
    WriteFile(other, DeviceFlash(8));
    const auto now = std::filesystem::file_time_type::clock::now();
    std::filesystem::last_write_time(good, now - std::chrono::hours(2));
    std::filesystem::last_write_time(other, now - std::chrono::hours(1));
    if (c.historySerial != nullptr) {
        HistoryRecord r;
        r.serial = c.historySerial;
        r.vendorId = kDevice.vendorId;
        r.productId = kDevice.productId;
        r.backup = good;
        ASSERT_FALSE(AppendHistory(DefaultHistoryPath(), r).Failed());
    }
    // A half-written flash: its start erased, so no record walks.
    std::fill_n(oldFlash.begin(), 300, std::uint8_t{0xFF});

    // Not an image, so read twice; the second write stalls.
    const UpdateOutcome out = Run({.failAt = 1 + 2 * std::uint64_t{ChunkCount} + 2}, {},
                                  [&](UpdateJob& j) { j.device.serial = c.serial; });
    EXPECT_FALSE(out.readBackWarning.empty());
    EXPECT_FALSE(out.backup.valid);
    EXPECT_TRUE(out.unit.empty());
    EXPECT_EQ(out.backup.restoreFrom, c.named ? good : "");
    EXPECT_EQ(out.backup.unitUnknown, *c.serial == '\0');
    if (out.backup.unitUnknown) {
        // The model's backups for a person to choose from, newest first.
        ASSERT_EQ(out.backup.modelBackups.size(), 3u);
        EXPECT_EQ(out.backup.modelBackups[1].unit, "00112233aabbccdd");
        EXPECT_EQ(out.backup.modelBackups[1].path, other);
    }
    bool warned = false;
    for (const LogEntry& e : log.Drain()) {
        warned = warned || (e.type == EVENTLOG_WARNING_TYPE &&
                            e.text.find("not a valid image") != std::string::npos);
    }
    EXPECT_TRUE(warned);
}

INSTANTIATE_TEST_SUITE_P(Cases, EngineHintTest,
                         ::testing::Values(HintCase{"NoIdentity", "", nullptr, false},
                                           HintCase{"SameSerial", "SN-1", "SN-1", true},
                                           HintCase{"AnotherSerial", "SN-1", "SN-2", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A restore: the saved flash of this device goes back as it is; another
// device's only when forced, and it is logged as a restore.
TEST_F(EngineTest, ARestoreWritesOnlyThisDevicesFlashUnlessForced) {
    const std::vector<std::uint8_t> earlier = DeviceFlash(7);  // same device data
    oldFlash = Merged();
    firmware = earlier;
    const auto restore = [](UpdateJob& j) { j.options.mode = UpdateMode::kRestore; };
    UpdateOutcome out = Run({}, {}, restore);
    ASSERT_TRUE(out.Succeeded()) << out.error.What();
    EXPECT_TRUE(model->Flash() == earlier);
    EXPECT_FALSE(out.deviceInfoReplaced);
    EXPECT_EQ(log.Drain(), (std::vector<LogEntry>{Entry(kEventRestoreStarted), Entry(kEventStage1),
                                                  Entry(kEventStage2), Entry(kEventStage3),
                                                  Entry(kEventFlashRestored)}));

    // Another device's data, and data that differ only in their last half
    // (the sum of the words kept, so the checksum still holds).
    std::vector<std::uint8_t> lateDifference = earlier;
    const std::size_t block = std::size_t{4} * FindDeviceInfo(earlier)->data;
    Put32(lateDifference, block + 96, Get32(earlier, block + 96) + 1);
    Put32(lateDifference, block + 100, Get32(earlier, block + 100) - 1);
    for (const auto& other : {DeviceFlash(8), lateDifference}) {
        firmware = other;
        out = Run({}, {}, restore);
        EXPECT_EQ(out.error.Code(), E_RESTORE_OTHER_DEVICE);
        EXPECT_EQ(out.device, DeviceHolds::kUntouched);
        EXPECT_TRUE(model->Flash() == oldFlash);
    }
    firmware = DeviceFlash(8);

    out = Run({}, {}, [](UpdateJob& j) {
        j.options.mode = UpdateMode::kRestore;
        j.options.force = true;
    });
    ASSERT_TRUE(out.Succeeded()) << out.error.What();
    EXPECT_TRUE(out.deviceInfoReplaced);
    EXPECT_TRUE(model->Flash() == firmware);

    // A device whose own block cannot be read: only when forced.
    firmware = earlier;
    std::fill_n(oldFlash.begin(), 300, std::uint8_t{0xFF});
    for (const bool force : {false, true}) {
        out = Run({}, {}, [force](UpdateJob& j) {
            j.options.mode = UpdateMode::kRestore;
            j.options.force = force;
        });
        EXPECT_EQ(out.error.Code(), force ? S_OK : E_RESTORE_OTHER_DEVICE) << out.error.What();
        EXPECT_TRUE(model->Flash() == (force ? earlier : oldFlash));
    }
}

// A clock that raises the request to stop when the merge asks it the time.
class StoppingClock final : public Clock {
  public:
    explicit StoppingClock(std::atomic<bool>& stop) : stop_(stop) {}
    FileTime Now() const override {
        stop_ = true;
        return kNow;
    }

  private:
    std::atomic<bool>& stop_;
};

// A request to stop is taken at once until writing begins, then waits for
// the end.
TEST_F(EngineTest, AStopIsTakenUntilTheWriteAndThenWaitsForTheEnd) {
    struct Case {
        const char* name;
        std::uint64_t atRequest;  // 0: during the merge
        bool updated;
        std::uint64_t maxRequests;
    };
    for (const Case c : {Case{"Stage 1", 100, false, 101}, Case{"merge", 0, false, kFirstWrite - 1},
                         Case{"write", kFirstWrite + 1, true, UINT64_MAX}}) {
        std::atomic<bool> stop{false};
        const StoppingClock stopping(stop);
        const UpdateOutcome out = Run(
            {},
            [&](std::uint64_t n, const ControlSetup&, std::span<std::uint8_t>,
                const std::function<Status()>& forward) {
                stop = stop || n == c.atRequest;
                return forward();
            },
            [&](UpdateJob& j) {
                j.options.cancel = &stop;
                if (c.atRequest == 0) {
                    j.options.clock = &stopping;
                }
            });
        EXPECT_EQ(out.Succeeded(), c.updated) << c.name << ": " << out.error.What();
        EXPECT_TRUE(model->Flash() == (c.updated ? Merged() : oldFlash)) << c.name;
        EXPECT_LE(model->RequestCount(), c.maxRequests) << c.name;
    }
}

// A history that cannot be written changes nothing of the update, but is
// told in the log: the desktop application has no other place to say it.
TEST_F(EngineTest, AHistoryThatCannotBeWrittenIsAWarningInTheLog) {
    const UpdateOutcome out = Run({}, {}, [&](UpdateJob& j) { j.options.historyPath = dir; });
    ASSERT_TRUE(out.Succeeded()) << out.error.What();
    EXPECT_TRUE(model->Flash() == Merged());
    bool warned = false;
    for (const LogEntry& e : log.Drain()) {
        warned = warned || (e.type == EVENTLOG_WARNING_TYPE &&
                            e.text.starts_with(kDevice.path + ": the update history was not "
                                                              "written: "));
    }
    EXPECT_TRUE(warned);
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
    EXPECT_EQ(progress.Outcome()->error.Code(), E_WORKER_START);
    const std::vector<LogEntry> entries = log.Drain();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], Entry(kEventUpdateStarted));
    EXPECT_EQ(entries[1], Entry(kEventUpdateFailed));
}

}  // namespace
}  // namespace sovra
