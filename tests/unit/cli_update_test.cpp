// `update` and `restore` against in-process virtual devices: what the user
// is asked and told, what reaches each device, and the backups.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/sha256.h"
#include "cli/cmd_history.h"
#include "cli/cmd_update.h"
#include "cli/commands.h"
#include "cli/update_report.h"
#include "flash/image_format.h"
#include "flash/info_area.h"
#include "flash/merge.h"
#include "flash/sample_image.h"
#include "sim/beamformer_model.h"
#include "sim/in_process_channel.h"
#include "tests/support/fixed_source.h"
#include "tests/support/log_receiver.h"
#include "tests/support/read_back_requests.h"
#include "tests/support/stamped_update_time.h"
#include "tests/support/temp_dir.h"
#include "update/state.h"
#include "update/update_engine.h"

namespace sovra::cli {
namespace {

// Stage 1 of every sample device here: read once, and confirmed.
const std::uint64_t kReadBack = testing::ReadBackRequests(MakeSampleFlash({.seed = 20}));

template <typename Row>
requires requires(const Row& r) {
    r.name;
}
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

using testing::FilesIn;
using testing::FixedSource;
using testing::ReadFile;
using testing::StampedUpdateTime;
using testing::WriteFile;

const char* kCatalogue = R"(<Device_list>
  <Device File_Name="bf100.img" REV="01.02" Device_Name="Beamformer 100" VID="abc" PID="10"/>
</Device_list>)";

const std::vector<std::string> kPaths = {"/dev/bus/usb/001/004", "/dev/bus/usb/001/005",
                                         "/dev/bus/usb/002/007", "/dev/bus/usb/003/009"};

// The catalogue of kCatalogue whose entry pins its file to `sha256`.
void WritePinnedCatalogue(const std::string& path, const std::string& sha256) {
    std::ofstream(path) << R"(<Device_list>
  <Device File_Name="bf100.img" REV="01.02" Device_Name="Beamformer 100" VID="abc" PID="10" SHA256=")"
                        << sha256 << R"("/>
</Device_list>)";
}

// Public throughout: the tables below reach into it.
class CliUpdateTest : public ::testing::Test {
  public:
    void SetUp() override {
        catalogue_ = dir_ + "/FirmwareUpdate.xml";
        std::ofstream(catalogue_) << kCatalogue;
        firmware_ = MakeSampleImage({.records = 3, .seed = 11});
        firmwarePath_ = dir_ + "/bf100.img";
        WriteFile(firmwarePath_, firmware_);
        state_ = dir_ + "/state";
        ::setenv("XDG_STATE_HOME", state_.c_str(), 1);
        for (std::size_t i = 0; i < kPaths.size(); ++i) {
            oldFlash_.push_back(MakeSampleFlash({.seed = static_cast<std::uint32_t>(20 + i)}));
        }
    }

    void Plug(std::size_t devices, sim::FaultPlan faults = {}) {
        for (std::size_t i = 0; i < devices; ++i) {
            models_[kPaths[i]] = std::make_shared<sim::BeamformerModel>(oldFlash_[i], faults);
        }
    }

    DeviceAccess Access() {
        DeviceAccess access;
        access.openSource = [this](std::unique_ptr<DeviceSource>& source) {
            std::vector<PresentDevice> present;
            for (const auto& [path, model] : models_) {
                present.push_back({path, sovra::UsbIds{0x0ABC, 0x0010, 0x0102},
                                   serials_.contains(path) ? serials_.at(path) : ""});
            }
            source = std::make_unique<FixedSource>(present);
            return Error();
        };
        access.openControl = [this](const DeviceEntry& entry) {
            DeviceControl c;
            if (refuseBinding_) {
                c.error = Error(E_DEVICE_GONE, "cannot open " + entry.path);
                return c;
            }
            auto channel = std::make_unique<sim::InProcessChannel>(models_.at(entry.path));
            channels_[entry.path] = channel.get();
            c.channel = std::move(channel);
            c.error = {};
            return c;
        };
        return access;
    }

    UpdateCliOptions Options(std::vector<std::string> devices) {
        UpdateCliOptions o;
        o.devices = std::move(devices);
        o.image = firmwarePath_;
        o.catalogue = catalogue_;
        o.yes = true;
        return o;
    }

    int Run(const UpdateCliOptions& o, std::string answer = "", bool terminal = false) {
        std::istringstream in(answer);
        Console console{in, terminal, terminal, 100};
        out_.str("");
        err_.str("");
        return RunUpdate(o, Access(), console, out_, err_);
    }

    std::vector<std::uint8_t> Flash(std::size_t i) { return models_.at(kPaths[i])->Flash(); }
    std::uint64_t Requests(std::size_t i) { return models_.at(kPaths[i])->RequestCount(); }

    // What the merge makes of device i's old flash and the firmware, with
    // the time the update stamped.
    std::vector<std::uint8_t> Merged(std::size_t i) {
        std::vector<std::uint8_t> expected = oldFlash_[i];
        const auto stamped = StampedUpdateTime(Flash(i));
        EXPECT_TRUE(stamped.has_value());
        const FixedClock clock(stamped.value_or(0));
        std::uint32_t length = static_cast<std::uint32_t>(firmware_.size());
        NullProgress quiet;
        EXPECT_EQ(MergeFirmware(expected, firmware_, length, clock, quiet), S_OK);
        return expected;
    }

    std::string BackupFolder() const { return state_ + "/sovra-firmware-update/backups"; }

    testing::TempDir tmp_{"sovra-cli-update"};
    std::string dir_ = tmp_.Path(), catalogue_, firmwarePath_, state_;
    std::vector<std::uint8_t> firmware_;
    std::vector<std::vector<std::uint8_t>> oldFlash_;
    std::map<std::string, std::shared_ptr<sim::BeamformerModel>> models_;
    std::map<std::string, sim::InProcessChannel*> channels_;
    std::map<std::string, std::string> serials_;
    bool refuseBinding_ = false;
    std::ostringstream out_, err_;
};

TEST_F(CliUpdateTest, UpdatesKeepsTheOldFlashAndChecksTheWrite) {
    Plug(1);
    ASSERT_EQ(Run(Options({kPaths[0]})), kExitOk) << err_.str();
    EXPECT_TRUE(Flash(0) == Merged(0));

    const auto backups = FilesIn(BackupFolder());
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        backups[0],
        std::regex("0abc-0010-" + UnitFingerprint(oldFlash_[0]) + R"(-\d{8}T\d{6}Z\.bin)")))
        << backups[0];
    EXPECT_TRUE(ReadFile(BackupFolder() + "/" + backups[0]) == oldFlash_[0]);
    EXPECT_NE(err_.str().find("old flash saved to " + BackupFolder() + "/" + backups[0]),
              std::string::npos);
    EXPECT_NE(out_.str().find("read back matches"), std::string::npos);

    // The flash is read once and confirmed; the check after writing reads
    // every written chunk again.
    const std::uint64_t writes = (firmware_.size() + ChunkSize - 1) / ChunkSize;
    EXPECT_EQ(Requests(0), kReadBack + 2 * writes);
}

TEST_F(CliUpdateTest, AllUpdatesEveryDeviceInParallelWithOneResultEach) {
    Plug(4);
    UpdateCliOptions o = Options({});
    o.all = true;
    o.json = true;
    o.noVerify = true;
    ASSERT_EQ(Run(o), kExitOk) << err_.str();
    const auto results = nlohmann::json::parse(out_.str());
    ASSERT_EQ(results.size(), 4u);
    std::set<std::string> backups;
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(Flash(i) == Merged(i)) << i;
        const auto& r = results[i];
        EXPECT_EQ(r["result"], "updated");
        EXPECT_EQ(r["device_state"], "updated");
        EXPECT_EQ(r["verified"], false);
        EXPECT_TRUE(r.contains("message") && r["message"].is_null());
        EXPECT_EQ(r.value("stopped_in", ""), "none");
        backups.insert(r["backup"].get<std::string>());
        EXPECT_TRUE(
            ReadFile(r["backup"].get<std::string>()) ==
            oldFlash_[std::find(kPaths.begin(), kPaths.end(), r["device"]) - kPaths.begin()]);
    }
    EXPECT_EQ(backups.size(), 4u);
}

struct RefusalCase {
    const char* name;
    void (*prepare)(CliUpdateTest&, UpdateCliOptions&);
    std::string answer;  // typed at the prompt; the prompt is shown only with `terminal`
    bool terminal;
    int exit;
    const char* says;
};

class CliUpdateRefusalTest : public CliUpdateTest,
                             public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(CliUpdateRefusalTest, NothingIsSent) {
    const RefusalCase& tc = GetParam();
    Plug(2);
    UpdateCliOptions o = Options({kPaths[0]});
    tc.prepare(*this, o);
    EXPECT_EQ(Run(o, tc.answer, tc.terminal), tc.exit);
    EXPECT_NE(err_.str().find(tc.says), std::string::npos) << err_.str();
    EXPECT_EQ(Requests(0), 0u);
    EXPECT_EQ(Requests(1), 0u);
    EXPECT_TRUE(FilesIn(BackupFolder()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, CliUpdateRefusalTest,
    ::testing::Values(
        RefusalCase{"NoTerminalNoYes", [](auto&, auto& o) { o.yes = false; }, "y\n", false,
                    kExitRefused, "Pass --yes"},
        RefusalCase{"AnswerNo", [](auto&, auto& o) { o.yes = false; }, "n\n", true, kExitRefused,
                    "Continue? [y/N]"},
        RefusalCase{"AnswerEmpty", [](auto&, auto& o) { o.yes = false; }, "\n", true, kExitRefused,
                    "Nothing was done."},
        RefusalCase{"FirmwareTooLarge",
                    [](auto& t, auto&) {
                        WriteFile(t.firmwarePath_, std::vector<std::uint8_t>(FlashSize + 1));
                    },
                    "", false, kExitRefused, "is larger than the device's 256 KiB flash"},
        RefusalCase{"FirmwareNotAnImage",
                    [](auto& t, auto&) {
                        WriteFile(t.firmwarePath_, std::vector<std::uint8_t>(4096, 0x01));
                    },
                    "", false, kExitRefused, "cannot be written: a record of the image runs past"},
        RefusalCase{"FirmwareNotTheCataloguesFile",
                    [](auto& t, auto&) {
                        WritePinnedCatalogue(t.catalogue_, Sha256Hex(Sha256(t.oldFlash_[0])));
                    },
                    "", false, kExitRefused, "does not match its catalogue entry"},
        // Every entry that names the file pins it, not only the first.
        RefusalCase{"ASecondPinOfTheFileDiffers",
                    [](auto& t, auto&) {
                        std::ofstream(t.catalogue_)
                            << R"(<Device_list><Device File_Name="bf100.img" REV="01.02" SHA256=")"
                            << Sha256Hex(Sha256(t.firmware_))
                            << R"("/><Device File_Name="bf100.img" REV="01.03" SHA256=")"
                            << std::string(64, 'a')
                            << R"("/><Device VID="abc" PID="10"/></Device_list>)";
                    },
                    "", false, kExitRefused, "does not match its catalogue entry"},
        RefusalCase{"CatalogueSha256NotADigest",
                    [](auto& t, auto&) { WritePinnedCatalogue(t.catalogue_, "01.02"); }, "", false,
                    kExitRefused, "is not 64 hexadecimal digits"},
        RefusalCase{"FirmwareMissing", [](auto&, auto& o) { o.image += ".missing"; }, "", false,
                    kExitRefused, "cannot open"},
        RefusalCase{"UnknownDevice", [](auto&, auto& o) { o.devices = {"/dev/bus/usb/009/001"}; },
                    "", false, kExitRefused, "Nothing was sent"},
        RefusalCase{"BackupFileForTwoDevices",
                    [](auto& t, auto& o) {
                        o.devices.push_back(kPaths[1]);
                        o.backup = t.dir_ + "/old.bin";
                    },
                    "", false, kExitUsage, "names one file"},
        // Found before the flash is read, not when the backup is written.
        RefusalCase{"BackupNameTooLong",
                    [](auto& t, auto& o) { o.backup = t.dir_ + "/" + std::string(300, 'b'); }, "",
                    false, kExitRefused, "File name too long"},
        RefusalCase{"BackupFolderMissing",
                    [](auto& t, auto& o) { o.backup = t.dir_ + "/no/such/folder/old.bin"; }, "",
                    false, kExitRefused, "cannot keep a backup"},
        // An existing file is never replaced by a backup: after a failed
        // update it may be the only good copy of the device's flash.
        RefusalCase{"BackupFileExists",
                    [](auto& t, auto& o) {
                        WriteFile(t.dir_ + "/old.bin", {1, 2, 3});
                        o.backup = t.dir_ + "/old.bin";
                    },
                    "", false, kExitRefused, "already exists"},
        RefusalCase{"BackupOverTheFirmwareFile",
                    [](auto& t, auto& o) { o.backup = t.firmwarePath_; }, "", false, kExitRefused,
                    "already exists"},
        RefusalCase{"RestoreRandomBytes",
                    [](auto& t, auto& o) {
                        o.mode = UpdateMode::kRestore;
                        std::vector<std::uint8_t> noise(FlashSize);
                        for (std::size_t i = 0; i < noise.size(); ++i) {
                            noise[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
                        }
                        WriteFile(t.firmwarePath_, noise);
                    },
                    "", false, kExitRefused, "is not a valid flash"},
        RefusalCase{"NoBackupFolder",
                    [](auto& t, auto&) {
                        WriteFile(t.dir_ + "/file", {1});
                        ::setenv("XDG_STATE_HOME", (t.dir_ + "/file").c_str(), 1);
                    },
                    "", false, kExitRefused, "cannot keep a backup"},
        RefusalCase{"DeviceCannotBeOpened", [](auto& t, auto&) { t.refuseBinding_ = true; }, "",
                    false, kExitRefused, "Nothing was sent to any device"},
        RefusalCase{"RestoreShortDump",
                    [](auto& t, auto& o) {
                        o.mode = UpdateMode::kRestore;
                        o.noBackup = true;
                        WriteFile(t.firmwarePath_, std::vector<std::uint8_t>(FlashSize - 64));
                    },
                    "", false, kExitRefused, "a whole flash is exactly 262144"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliUpdateTest, TheFileTheCataloguePinsGoesThroughInEitherCase) {
    Plug(2);
    std::string hex = Sha256Hex(Sha256(firmware_));
    for (std::size_t device : {0u, 1u}) {
        if (device == 1) {
            std::transform(hex.begin(), hex.end(), hex.begin(), ::toupper);
        }
        WritePinnedCatalogue(catalogue_, hex);
        EXPECT_EQ(Run(Options({kPaths[device]})), kExitOk) << hex << '\n' << err_.str();
        EXPECT_TRUE(Flash(device) == Merged(device));
    }
}

TEST_F(CliUpdateTest, ConfirmedOnATerminalItGoesAhead) {
    Plug(1);
    UpdateCliOptions o = Options({kPaths[0]});
    o.yes = false;
    EXPECT_EQ(Run(o, "Y\n", true), kExitOk) << err_.str();
    EXPECT_EQ(Run(o, " yes \n", true), kExitOk) << err_.str();
    EXPECT_NE(err_.str().find("Do not unplug the device"), std::string::npos);
    // Drawn in place, ending with the device's result line.
    EXPECT_NE(err_.str().find("\033[2K" + kPaths[0] + "  done"), std::string::npos);
}

TEST_F(CliUpdateTest, FailedWriteSaysWhatTheDeviceHoldsAndRestoreRepairsIt) {
    const std::uint64_t writes = (firmware_.size() + ChunkSize - 1) / ChunkSize;
    Plug(1, {.failAt = kReadBack + writes / 2});
    testing::LogReceiver log;
    ASSERT_EQ(Run(Options({kPaths[0]})), kExitRefused);
    EXPECT_NE(out_.str().find("partly written"), std::string::npos) << out_.str();
    EXPECT_TRUE(Flash(0) != oldFlash_[0]);
    const auto entries = log.Drain();
    ASSERT_FALSE(entries.empty());
    // Each entry names the device, since several updates may run at once.
    const auto named = [&](const SystemEvent& e) {
        return testing::LogEntry{static_cast<int>(e.type), kPaths[0] + ": " + std::string(e.text)};
    };
    EXPECT_EQ(entries.front(), named(kEventUpdateStarted));
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[1], named(kEventStage1));
    EXPECT_EQ(entries[entries.size() - 2], named(kEventUpdateFailed));
    EXPECT_EQ(entries.back().text.rfind(kPaths[0] + " (unit " + UnitFingerprint(oldFlash_[0]) +
                                            ", serial unknown): writing failed at address 0x",
                                        0),
              0u)
        << entries.back().text;

    const auto backups = FilesIn(BackupFolder());
    ASSERT_EQ(backups.size(), 1u);
    const std::string backup = BackupFolder() + "/" + backups[0];
    const std::string command = RestoreCommand(kPaths[0], backup);
    EXPECT_NE(out_.str().find("    " + command + "\n"), std::string::npos) << out_.str();

    // The command as printed puts the old flash back.
    models_[kPaths[0]] = std::make_shared<sim::BeamformerModel>(Flash(0));
    UpdateCliOptions restore = Options({kPaths[0]});
    restore.mode = UpdateMode::kRestore;
    restore.noBackup = true;
    restore.image = backup;
    ASSERT_EQ(Run(restore), kExitOk) << err_.str();
    EXPECT_TRUE(Flash(0) == oldFlash_[0]);
    EXPECT_NE(out_.str().find("restored; the flash read back matches"), std::string::npos);
}

// Several devices, some failing: the exit status, each device's whole
// result, and a restore hint only where something was written. A device
// named twice is updated once.
TEST_F(CliUpdateTest, MixedOutcomesTellEachDeviceApart) {
    const std::uint64_t writes = (firmware_.size() + ChunkSize - 1) / ChunkSize;
    Plug(3);
    models_[kPaths[1]] =
        std::make_shared<sim::BeamformerModel>(oldFlash_[1], sim::FaultPlan{.failAt = 100});
    models_[kPaths[2]] = std::make_shared<sim::BeamformerModel>(
        oldFlash_[2], sim::FaultPlan{.failAt = kReadBack + 3});
    ASSERT_EQ(Run(Options({kPaths[0], kPaths[1], kPaths[2], kPaths[0]})), kExitRefused);

    std::string backupOf2;
    for (const std::string& name : FilesIn(BackupFolder())) {
        if (name.find(UnitFingerprint(oldFlash_[2])) != std::string::npos) {
            backupOf2 = BackupFolder() + "/" + name;
        }
    }
    ASSERT_FALSE(backupOf2.empty());
    EXPECT_EQ(out_.str(),
              "/dev/bus/usb/001/004 (unit " + UnitFingerprint(oldFlash_[0]) +
                  ", serial unknown): updated; the flash read back matches the image written. "
                  "Reconnect the USB cable for the new firmware to take effect.\n"
                  "/dev/bus/usb/001/005 (unit unknown, serial unknown): update failed: reading "
                  "the flash failed at address 0x01880 "
                  "(chunk 99 of 4096): the device refused a request. (0xA0020003)\n"
                  "  The device is untouched: nothing was written to it.\n"
                  "/dev/bus/usb/002/007 (unit " +
                  UnitFingerprint(oldFlash_[2]) +
                  ", serial unknown): update failed: writing failed at address 0x00080 (chunk 3 "
                  "of " +
                  std::to_string(writes) +
                  "): the device refused a request. (0xA0020003)\n"
                  "  The device is partly written (the update stopped at chunk 3 of " +
                  std::to_string(writes) +
                  "); it may not work until its flash is restored.\n"
                  "  Restore its old flash with:\n"
                  "    sovra-flash restore --device /dev/bus/usb/002/007 --image " +
                  backupOf2 + "\n");
    EXPECT_TRUE(Flash(0) == Merged(0));
    EXPECT_TRUE(Flash(1) == oldFlash_[1]);
    EXPECT_EQ(Requests(0), kReadBack + 2 * writes);
}

// A restore checks that the saved flash is this device's before it writes:
// another device's dump would give it another identity.
TEST_F(CliUpdateTest, RestoreOfAnotherDevicesDumpNeedsForce) {
    Plug(1);
    WriteFile(firmwarePath_, oldFlash_[1]);
    UpdateCliOptions o = Options({kPaths[0]});
    o.mode = UpdateMode::kRestore;
    EXPECT_EQ(Run(o), kExitRefused);
    EXPECT_NE(out_.str().find("was saved from another device"), std::string::npos) << out_.str();
    EXPECT_NE(out_.str().find("The device is untouched"), std::string::npos);
    EXPECT_TRUE(Flash(0) == oldFlash_[0]);

    o.force = true;
    EXPECT_EQ(Run(o), kExitOk) << out_.str();
    EXPECT_NE(err_.str().find("overwritten with the one in"), std::string::npos) << err_.str();
    EXPECT_TRUE(Flash(0) == oldFlash_[1]);

    // A forced restore that fails while writing is retried with --force.
    models_[kPaths[0]] = std::make_shared<sim::BeamformerModel>(
        oldFlash_[0], sim::FaultPlan{.failAt = 1 + 2 * ChunkCount + 3});
    o.json = true;
    EXPECT_EQ(Run(o), kExitRefused);
    EXPECT_EQ(nlohmann::json::parse(out_.str())[0]["restore_command"],
              RestoreCommand(kPaths[0], firmwarePath_) + " --force");
}

// A backup of a flash that was already damaged goes back when forced, and
// then only onto the device it came from.
TEST_F(CliUpdateTest, ADamagedBackupGoesBackOnlyForcedAndOnlyOntoItsOwnDevice) {
    Plug(1);
    std::vector<std::uint8_t> own = oldFlash_[0];
    own[100] ^= 0xFF;  // a data word: the checksum no longer adds up
    WriteFile(firmwarePath_, own);
    UpdateCliOptions o = Options({kPaths[0]});
    o.mode = UpdateMode::kRestore;
    EXPECT_EQ(Run(o), kExitRefused);
    EXPECT_NE(err_.str().find("restore it with --force"), std::string::npos) << err_.str();
    EXPECT_TRUE(Flash(0) == oldFlash_[0]);
    o.force = true;
    EXPECT_EQ(Run(o), kExitOk) << out_.str() << err_.str();
    EXPECT_TRUE(Flash(0) == own);

    std::vector<std::uint8_t> other = oldFlash_[1];
    other[100] ^= 0xFF;
    WriteFile(firmwarePath_, other);
    EXPECT_EQ(Run(o), kExitRefused);
    EXPECT_NE(out_.str().find("even with --force"), std::string::npos) << out_.str();
    EXPECT_TRUE(Flash(0) == own);
}

// Refused after the backup was kept, before anything was written: no
// restore is offered for a device that was never written.
TEST_F(CliUpdateTest, AnUpdateRefusedAtTheMergeOffersNoRestore) {
    Plug(1);
    WriteFile(firmwarePath_, MakeSampleImage({.records = 3, .deviceInfo = false, .seed = 11}));
    UpdateCliOptions o = Options({kPaths[0]});
    o.json = true;
    EXPECT_EQ(Run(o), kExitRefused);
    auto result = nlohmann::json::parse(out_.str())[0];
    EXPECT_EQ(result["stopped_in"], "merge");
    EXPECT_EQ(result["device_state"], "untouched");
    EXPECT_TRUE(result["backup"].is_string());
    EXPECT_TRUE(result["restore_command"].is_null());
    EXPECT_TRUE(result["message"].is_string());
    EXPECT_TRUE(Flash(0) == oldFlash_[0]);
}

struct FailureCase {
    const char* name;
    // The device's faults, given the number of chunks Stage 3 writes.
    sim::FaultPlan (*faults)(std::uint64_t writes);
    std::optional<std::string> backupFile;  // relative to the test folder
    const char* state;                      // device_state in the JSON result
    bool backupKept;
};

class CliUpdateFailureTest : public CliUpdateTest,
                             public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CliUpdateFailureTest, ResultSaysWhatTheDeviceHolds) {
    const FailureCase& tc = GetParam();
    Plug(1, tc.faults((firmware_.size() + ChunkSize - 1) / ChunkSize));
    UpdateCliOptions o = Options({kPaths[0]});
    o.json = true;
    if (tc.backupFile) {
        o.backup = dir_ + "/" + *tc.backupFile;
    }
    EXPECT_EQ(Run(o), kExitRefused);
    const auto results = nlohmann::json::parse(out_.str());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["result"], "failed");
    EXPECT_EQ(results[0]["device_state"], tc.state);
    EXPECT_EQ(results[0]["backup"].is_string(), tc.backupKept);
    if (std::string(tc.state) == "untouched") {
        EXPECT_TRUE(Flash(0) == oldFlash_[0]);
        EXPECT_TRUE(results[0]["restore_command"].is_null());
    } else {
        EXPECT_TRUE(results[0]["restore_command"].is_string());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, CliUpdateFailureTest,
    ::testing::Values(
        FailureCase{"ReadFails", [](std::uint64_t) { return sim::FaultPlan{.failAt = 100}; },
                    std::nullopt, "untouched", false},
        FailureCase{"GoneInStage1", [](std::uint64_t) { return sim::FaultPlan{.unplugAt = 3000}; },
                    std::nullopt, "untouched", false},
        FailureCase{"WriteFails",
                    [](std::uint64_t) { return sim::FaultPlan{.failAt = kReadBack + 3}; },
                    "old.bin", "partly written", true},
        FailureCase{"CheckReadIsCorrupt",
                    [](std::uint64_t writes) {
                        return sim::FaultPlan{.corruptAt = kReadBack + writes + 2};
                    },
                    "old.bin", "written, differs", true}),
    [](const auto& info) { return std::string(info.param.name); });

// Two units with serial numbers: each result, history record and backup
// names its unit; a unit that already holds the firmware is left alone, byte
// for byte, unless a reinstall is asked; the history finds a unit by the
// start of its fingerprint.
TEST_F(CliUpdateTest, UnitsAreToldApartAndAnUpToDateOneIsLeftAlone) {
    Plug(2);
    serials_ = {{kPaths[0], "SN-0"}, {kPaths[1], "SN-1"}};
    const std::string units[2] = {UnitFingerprint(oldFlash_[0]), UnitFingerprint(oldFlash_[1])};
    ASSERT_NE(units[0], units[1]);
    UpdateCliOptions o = Options({kPaths[0], kPaths[1]});
    o.json = true;
    ASSERT_EQ(Run(o), kExitOk) << err_.str();
    const std::vector<std::uint8_t> written = Flash(0);
    for (const auto& r : nlohmann::json::parse(out_.str())) {
        const std::size_t i = r["device"] == kPaths[0] ? 0 : 1;
        EXPECT_EQ(r["unit"], units[i]);
        EXPECT_EQ(r["serial"], "SN-" + std::to_string(i));
        EXPECT_NE(r["backup"].get<std::string>().find(units[i]), std::string::npos);
    }

    const std::uint64_t requests = Requests(0);
    ASSERT_EQ(Run(Options({kPaths[0]})), kExitOk) << err_.str();
    EXPECT_EQ(out_.str(), kPaths[0] + " (unit " + units[0] +
                              ", serial SN-0): up to date: it already holds this firmware; "
                              "nothing was written (--reinstall writes it anyway).\n");
    EXPECT_TRUE(Flash(0) == written);
    EXPECT_EQ(Requests(0) - requests, testing::ReadBackRequests(written));
    EXPECT_EQ(FilesIn(BackupFolder()).size(), 2u);

    o = Options({kPaths[0]});
    o.reinstall = true;
    ASSERT_EQ(Run(o), kExitOk) << err_.str();
    EXPECT_NE(out_.str().find("updated; the flash read back matches"), std::string::npos);
    EXPECT_EQ(FilesIn(BackupFolder()).size(), 3u);

    HistoryOptions h;
    h.unit = units[0].substr(0, 6);
    h.json = true;
    std::ostringstream records, warnings;
    ASSERT_EQ(RunHistory(h, records, warnings), kExitOk) << warnings.str();
    std::vector<std::string> results;
    for (const auto& r : nlohmann::json::parse(records.str())) {
        EXPECT_EQ(r["unit"], units[0]);
        EXPECT_EQ(r["serial"], "SN-0");
        results.push_back(r["result"]);
    }
    EXPECT_EQ(results, (std::vector<std::string>{"updated", "up-to-date", "updated"}));
}

TEST(BackupTest, NamesByIdsBusAddressAndUtcTime) {
    const DeviceEntry device{0xabc, 0x10, 0x102, "/dev/bus/usb/001/002"};
    // 2026-12-07T21:44:20Z
    const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1796679860));
    EXPECT_EQ(BackupFileName(device, when), "0abc-0010-bus001-dev002-20261207T214420Z.bin");
    const DeviceEntry odd{0x1234, 0xBEEF, 0, "/somewhere/else"};
    EXPECT_EQ(BackupFileName(odd, when), "1234-beef-node-20261207T214420Z.bin");
    EXPECT_EQ(BackupFileName(device, when, "0123456789abcdef"),
              "0abc-0010-0123456789abcdef-20261207T214420Z.bin");
}

}  // namespace
}  // namespace sovra::cli

namespace sovra::cli {
namespace {

struct InterruptCase {
    const char* name;
    std::uint64_t afterRequests;  // the signal goes once the device has had this many
    int exit;
    bool untouched;
};

class CliUpdateInterruptTest : public CliUpdateTest,
                               public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(CliUpdateInterruptTest, CtrlCStopsAReadingUpdateButNotAWritingOne) {
    const InterruptCase& tc = GetParam();
    // A long write, so that the signal surely finds the update still running.
    firmware_ = MakeSampleImage({.records = 30, .wordsPerRecord = 1000});
    WriteFile(firmwarePath_, firmware_);
    Plug(1, {.latency = std::chrono::microseconds(100)});
    // Should the signal come after all, it must not end the test program.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old {};
    sigaction(SIGINT, &ignore, &old);

    const auto model = models_.at(kPaths[0]);
    std::thread interrupter([&] {
        while (model->RequestCount() < tc.afterRequests) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ::kill(::getpid(), SIGINT);
    });
    const int exit = Run(Options({kPaths[0]}));
    interrupter.join();
    sigaction(SIGINT, &old, nullptr);

    EXPECT_EQ(exit, tc.exit) << out_.str() << err_.str();
    EXPECT_NE(err_.str().find("Interrupted"), std::string::npos) << err_.str();
    EXPECT_EQ(Flash(0) == oldFlash_[0], tc.untouched);
    if (tc.untouched) {
        EXPECT_NE(out_.str().find("stopped on request"), std::string::npos) << out_.str();
    }
}

INSTANTIATE_TEST_SUITE_P(Stages, CliUpdateInterruptTest,
                         ::testing::Values(InterruptCase{"WhileReading", 100, kExitRefused, true},
                                           InterruptCase{"WhileWriting", kReadBack + 10, kExitOk,
                                                         false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sovra::cli
