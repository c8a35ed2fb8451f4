// `sovra-flash update` end to end: sovra-beamformer-sim hosts a virtual
// beamformer behind the real libudev and libusb, and the unmodified
// sovra-flash updates it. Each whole update takes seconds under emulation,
// so the cases are few.

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <map>
#include <set>

#include "app/sha256.h"
#include "flash/flash_command.h"
#include "flash/sample_image.h"
#include "tests/support/child_process.h"
#include "tests/support/read_back_requests.h"
#include "tests/support/stamped_update_time.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_signer.h"

namespace {

namespace fs = std::filesystem;

using sovra::testing::Outcome;
using sovra::testing::StampedUpdateTime;

constexpr auto ReadAll = sovra::testing::ReadText;
constexpr auto ReadBytes = sovra::testing::ReadFile;
constexpr auto WriteBytes = sovra::testing::WriteFile;

class UpdateEndToEndTest : public testing::Test {
  protected:
    void SetUp() override {
        std::ofstream(dir_ / "FirmwareUpdate.xml")
            << R"(<Device_list><Device File_Name="fw.img" REV="01.02" )"
            << R"(Device_Name="Beamformer 100" VID="abc" PID="10"/></Device_list>)";
        oldFlash_ = sovra::MakeSampleFlash({.records = 5,
                                            .seed = 5,
                                            .keptTime = 130'000'000'000'000'000ULL,
                                            .updateTime = 131'000'000'000'000'000ULL});
        WriteBytes(dir_ / "old.bin", oldFlash_);
        WriteBytes(dir_ / "fw.img", sovra::MakeSampleImage({.records = 12, .seed = 9}));
        ::setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
    }
    Outcome Spawn(std::vector<std::string> all) { return sovra::testing::Run(std::move(all)); }

    // sovra-flash update under the launcher, one device with `deviceOptions`;
    // with `journal`, the launcher offers it a system journal.
    Outcome Update(const std::string& deviceOptions, bool journal = false) {
        std::vector<std::string> args{
            SOVRA_SIM_LAUNCHER, "--device",
            "0abc:0010:0102,flash=" + (dir_ / "old.bin").string() + deviceOptions, "--save-flash",
            (dir_ / "saved").string()};
        if (journal) {
            args.emplace_back("--journal");
        }
        for (std::string a : {"--", SOVRA_FLASH, "update", "--device", "0abc:0010", "--firmware"}) {
            args.push_back(a);
        }
        args.insert(args.end(), {(dir_ / "fw.img").string(), "--catalogue",
                                 (dir_ / "FirmwareUpdate.xml").string(), "--yes"});
        return Spawn(std::move(args));
    }

    // `saved` is what sovra-flash merge makes offline of the old flash and
    // the file, at the time the update stamped.
    void ExpectTheOfflineMerge(const std::vector<std::uint8_t>& saved) {
        const auto stamped = StampedUpdateTime(saved);
        ASSERT_TRUE(stamped.has_value());
        const Outcome merged =
            Spawn({SOVRA_FLASH, "merge", "--readback", (dir_ / "old.bin").string(), "--firmware",
                   (dir_ / "fw.img").string(), "--output", (dir_ / "merged.bin").string(), "--now",
                   std::to_string(*stamped), "--flash-image"});
        ASSERT_EQ(merged.status, 0) << merged.err;
        EXPECT_TRUE(saved == ReadBytes(dir_ / "merged.bin"));
    }

    std::vector<fs::path> Backups() const {
        std::vector<fs::path> out;
        const fs::path folder = dir_ / "state/sovra-firmware-update/backups";
        if (fs::exists(folder)) {
            for (const auto& e : fs::directory_iterator(folder)) {
                out.push_back(e.path());
            }
        }
        return out;
    }

    sovra::testing::TempDir tmp_{"sovra-update-e2e"};
    const fs::path dir_ = tmp_.Path();
    std::vector<std::uint8_t> oldFlash_;
};

TEST_F(UpdateEndToEndTest, DeviceHoldsWhatMergeMakesAndTheBackupIsTheOldFlash) {
    const Outcome o = Update("");
    ASSERT_EQ(o.status, 0) << o.err << o.out;
    const std::vector<std::uint8_t> saved = ReadBytes(dir_ / "saved/device-1.bin");
    ASSERT_EQ(saved.size(), sovra::FlashSize);

    // The same merge offline, at the time the update stamped.
    ASSERT_NO_FATAL_FAILURE(ExpectTheOfflineMerge(saved));

    const auto backups = Backups();
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_TRUE(ReadBytes(backups[0]) == oldFlash_);
    EXPECT_NE(o.err.find(backups[0].string()), std::string::npos) << o.err;

    // The system log, in order, under sovra-flash's own tag and naming the
    // device.
    std::size_t at = 0;
    for (const char* entry : {"Firware update started.", "Load Stage 1 of 3.", "Load Stage 2 of 3.",
                              "Load Stage 3 of 3.", "Firmware is updated in SovRa 01.00."}) {
        const std::size_t found = o.err.find("]: /dev/bus/usb/001/002: " + std::string(entry), at);
        ASSERT_NE(found, std::string::npos) << entry << "\n" << o.err;
        const std::size_t line = o.err.rfind('\n', found) + 1;
        EXPECT_NE(o.err.substr(line, found - line).find(" sovra-flash["), std::string::npos)
            << o.err.substr(line, found - line);
        at = found;
    }
}

// Where a journal listens, an update's entries go there instead, with the
// texts and priorities the system log gets, and fields that tell which
// device got which firmware.
TEST_F(UpdateEndToEndTest, UnderAJournalEachEntryCarriesItsFields) {
    const Outcome o = Update("", /*journal=*/true);
    ASSERT_EQ(o.status, 0) << o.err << o.out;
    EXPECT_EQ(o.err.find("system log: "), std::string::npos) << o.err;
    const std::string device = "/dev/bus/usb/001/002";
    const std::string digest = sovra::Sha256Hex(sovra::Sha256(ReadBytes(dir_ / "fw.img")));

    std::vector<std::string> entries;
    std::set<std::string> ids;
    std::istringstream lines(o.err);
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("journal: ")) {
            continue;
        }
        std::map<std::string, std::string> f;
        std::istringstream fields(line.substr(9) + "\\x0A");
        for (std::string field; std::getline(fields, field, '\\');) {
            const std::string text = field.starts_with("x0A") ? field.substr(3) : field;
            if (const auto eq = text.find('='); eq != std::string::npos) {
                f[text.substr(0, eq)] = text.substr(eq + 1);
            }
        }
        EXPECT_EQ(f["SYSLOG_IDENTIFIER"], "sovra-flash") << line;
        EXPECT_EQ(f["SOVRA_DEVICE"], device) << line;
        EXPECT_EQ(f["SOVRA_FIRMWARE"], (dir_ / "fw.img").string()) << line;
        EXPECT_EQ(f["SOVRA_FIRMWARE_SHA256"], digest) << line;
        EXPECT_EQ(f["MESSAGE_ID"].size(), 32u) << line;
        ids.insert(f["MESSAGE_ID"]);
        entries.push_back(f["PRIORITY"] + " " + f["MESSAGE"] + " " + f["SOVRA_RESULT"]);
    }
    const std::vector<std::string> want{
        "6 " + device + ": Firware update started. ",
        "6 " + device + ": Load Stage 1 of 3. ",
        "6 " + device + ": Load Stage 2 of 3. ",
        "6 " + device + ": Load Stage 3 of 3. ",
        "5 " + device + ": Firmware is updated in SovRa 01.00. success",
    };
    EXPECT_EQ(entries, want) << o.err;
    EXPECT_EQ(ids.size(), want.size());
}

TEST_F(UpdateEndToEndTest, FailedReadBackLeavesTheFlashUntouched) {
    const Outcome o = Update(",fail-at=100");
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_TRUE(ReadBytes(dir_ / "saved/device-1.bin") == oldFlash_);
    EXPECT_NE(o.out.find("The device is untouched"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("Error updating device."), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("Firmware is updated"), std::string::npos) << o.err;
    EXPECT_TRUE(Backups().empty());
}

// Stage 1 reads a valid image once and confirms it by its checksum and a
// few second reads: a stall placed just past 1 + 4096 + 64 + 2w requests
// never fires. An erased flash or one whose checksum does not add up is
// read twice: an answer corrupted in the second pass is read again (with
// one read, the same request would be the check after writing, which would
// fail).
struct ReadBackRun {
    const char* name;
    void (*damage)(std::vector<std::uint8_t>& flash);
    bool readTwice;
};

class ReadBackEndToEndTest : public UpdateEndToEndTest,
                             public testing::WithParamInterface<ReadBackRun> {};

TEST_P(ReadBackEndToEndTest, ReadsOnceWhenTheImageVouchesForItself) {
    GetParam().damage(oldFlash_);
    WriteBytes(dir_ / "old.bin", oldFlash_);
    const std::uint64_t writes = (fs::file_size(dir_ / "fw.img") + 63) / 64;
    const std::string fault =
        GetParam().readTwice
            ? ",corrupt-at=" + std::to_string(1 + 4096 + writes + 5) + ",corrupt-byte=9"
            : ",fail-at=" + std::to_string(1 + 4096 + 64 + 2 * writes + 1);
    const Outcome o = Update(fault);
    ASSERT_EQ(o.status, 0) << o.err << o.out;
    const std::vector<std::uint8_t> saved = ReadBytes(dir_ / "saved/device-1.bin");
    ASSERT_NO_FATAL_FAILURE(ExpectTheOfflineMerge(saved));
    const auto backups = Backups();
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_TRUE(ReadBytes(backups[0]) == oldFlash_);
}

INSTANTIATE_TEST_SUITE_P(
    Flashes, ReadBackEndToEndTest,
    testing::Values(ReadBackRun{"ValidImage", [](std::vector<std::uint8_t>&) {}, false},
                    ReadBackRun{"Erased",
                                [](std::vector<std::uint8_t>& f) {
                                    std::fill(f.begin(), f.end(), std::uint8_t{0xFF});
                                },
                                true},
                    ReadBackRun{"BadChecksum", [](std::vector<std::uint8_t>& f) { f[200] ^= 0x10; },
                                true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Faults a lab or a field laptop really has, each through the unmodified
// programs under the launcher: the device ends holding either its old
// flash or exactly the right new image, and nothing reports success
// unless it holds the new one.
struct FaultRun {
    const char* name;
    const char* deviceOptions;
    // The command inside the launcher, given sovra-flash's update arguments
    // as one shell word list; empty: sovra-flash update itself.
    const char* shell;
    bool firmwareWithoutDeviceInfo;
    int exit;
    // The device holds the merged image, its old flash, or (a write the
    // check found missing) neither.
    enum { kMerged, kOld, kNeither } holds;
    const char* says;  // in stdout or stderr
};

class UpdateFaultEndToEndTest : public UpdateEndToEndTest,
                                public testing::WithParamInterface<FaultRun> {};

TEST_P(UpdateFaultEndToEndTest, TheDeviceHoldsItsOldFlashOrTheRightImage) {
    const FaultRun& c = GetParam();
    if (c.firmwareWithoutDeviceInfo) {
        WriteBytes(dir_ / "fw.img",
                   sovra::MakeSampleImage({.records = 12, .deviceInfo = false, .seed = 9}));
    }
    std::vector<std::string> args{
        SOVRA_SIM_LAUNCHER,
        "--device",
        "0abc:0010:0102,flash=" + (dir_ / "old.bin").string() + c.deviceOptions,
        "--save-flash",
        (dir_ / "saved").string(),
        "--"};
    const std::string update = std::string("'") + SOVRA_FLASH + "' update --device 0abc:0010 " +
                               "--firmware '" + (dir_ / "fw.img").string() + "' --catalogue '" +
                               (dir_ / "FirmwareUpdate.xml").string() + "' --yes";
    if (*c.shell == '\0') {
        args.insert(args.end(), {"/bin/sh", "-c", update});
    } else {
        std::string script = c.shell;
        for (std::size_t at = script.find("UPDATE"); at != std::string::npos;
             at = script.find("UPDATE", at + update.size())) {
            script.replace(at, 6, update);
        }
        script = "cd '" + dir_.string() + "' || exit 99; " + script;
        args.insert(args.end(), {"/bin/bash", "-c", script});
    }
    const Outcome o = Spawn(args);
    EXPECT_EQ(o.status, c.exit) << o.out << o.err;
    EXPECT_NE((o.out + o.err).find(c.says), std::string::npos) << o.out << o.err;

    const std::vector<std::uint8_t> saved = ReadBytes(dir_ / "saved/device-1.bin");
    if (c.holds != FaultRun::kMerged) {
        EXPECT_EQ(saved == oldFlash_, c.holds == FaultRun::kOld);
        EXPECT_NE(o.err.find("Error updating device."), std::string::npos);
        EXPECT_EQ(o.err.find("Firmware is updated"), std::string::npos);
        return;
    }
    EXPECT_EQ(o.err.find("Error updating device."), std::string::npos) << o.err;
    ASSERT_NO_FATAL_FAILURE(ExpectTheOfflineMerge(saved));
    // Every backup equals the device's flash before the update.
    for (const fs::path& backup : Backups()) {
        EXPECT_TRUE(ReadBytes(backup) == oldFlash_) << backup;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UpdateFaultEndToEndTest,
    testing::Values(
        // A read answer corrupted on the way in, where the device-info
        // record lies: read again, and the device keeps its own block.
        FaultRun{"ReadCorruptedInTransit", ",corrupt-at=20", "", false, 0, FaultRun::kMerged,
                 "updated;"},
        // The output goes away (a dropped session behind `| tee`, `| head`):
        // the update goes on to the end and says so in its exit status.
        FaultRun{"OutputClosed", "", "UPDATE 2>&1 | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}",
                 false, 0, FaultRun::kMerged, "Firmware is updated"},
        // A termination request while writing is held until the write ends.
        FaultRun{"TerminatedWhileWriting", ",latency-us=400",
                 "UPDATE >out 2>err & p=$!; "
                 "until grep -q 'Write firmware' err; do sleep 0.05; done; "
                 "kill -TERM $p; wait $p; s=$?; cat out err; exit $s",
                 false, 0, FaultRun::kMerged, "Interrupted"},
        // A firmware file with no device-info record would erase the
        // device's own block.
        FaultRun{"FirmwareWithoutDeviceInfo", "", "", true, 1, FaultRun::kOld,
                 "has no device-info record"},
        // A write the device acknowledges but does not keep: the check after
        // writing finds it.
        FaultRun{"AWriteIsLost", ",drop-write-at=1", "", false, 1, FaultRun::kNeither,
                 "the device's flash differs from it"},
        // A device that stops answering: the request times out as on real
        // hardware, before anything was written.
        FaultRun{"NoAnswer", ",latency-us=8000000", "", false, 1, FaultRun::kOld,
                 "did not answer in time"},
        // Two programs at once: the second is refused while the first holds
        // the device, and the first goes on to the end.
        FaultRun{"TwoProgramsAtOnce", "",
                 "UPDATE >first 2>&1 & p=$!; sleep 1; UPDATE; s=$?; wait $p; f=$?; cat first; "
                 "[ $s = 1 ] && exit $f; exit 3",
                 false, 0, FaultRun::kMerged, "another program is using"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

using RetryEndToEndTest = UpdateEndToEndTest;

// A write that fails leaves a half-written flash. The retry keeps a backup
// of that flash too, says it is not a valid image, and points the repair at
// the good backup of the first attempt, which puts the old flash back.
TEST_F(RetryEndToEndTest, ARetryPointsTheRepairAtTheLastGoodBackup) {
    // The old flash is a valid image, read once and confirmed; the half-written
    // one is not, and is read twice.
    const Outcome first =
        Update(",fail-at=" + std::to_string(sovra::testing::ReadBackRequests(oldFlash_) + 20));
    ASSERT_EQ(first.status, 1) << first.out << first.err;
    EXPECT_NE(first.out.find("partly written"), std::string::npos) << first.out;
    const auto backups = Backups();
    ASSERT_EQ(backups.size(), 1u);
    const fs::path good = backups[0];
    EXPECT_TRUE(ReadBytes(good) == oldFlash_);

    fs::copy_file(dir_ / "saved/device-1.bin", dir_ / "half.bin");
    const Outcome retry =
        Spawn({SOVRA_SIM_LAUNCHER, "--device",
               "0abc:0010:0102,flash=" + (dir_ / "half.bin").string() +
                   ",fail-at=" + std::to_string(1 + 2 * 4096 + 20),
               "--save-flash", (dir_ / "saved2").string(), "--", SOVRA_FLASH, "update", "--device",
               "0abc:0010", "--firmware", (dir_ / "fw.img").string(), "--catalogue",
               (dir_ / "FirmwareUpdate.xml").string(), "--yes"});
    ASSERT_EQ(retry.status, 1) << retry.out << retry.err;
    EXPECT_EQ(Backups().size(), 2u);
    EXPECT_TRUE(ReadBytes(good) == oldFlash_);
    EXPECT_NE(retry.out.find("is not a valid image"), std::string::npos) << retry.out;
    const std::string command =
        "sovra-flash restore --device /dev/bus/usb/001/002 --image " + good.string();
    ASSERT_NE(retry.out.find(command), std::string::npos) << retry.out;

    const Outcome restore =
        Spawn({SOVRA_SIM_LAUNCHER, "--device",
               "0abc:0010:0102,flash=" + (dir_ / "saved2/device-1.bin").string(), "--save-flash",
               (dir_ / "saved3").string(), "--", SOVRA_FLASH, "restore", "--device",
               "/dev/bus/usb/001/002", "--image", good.string(), "--catalogue",
               (dir_ / "FirmwareUpdate.xml").string(), "--yes"});
    ASSERT_EQ(restore.status, 0) << restore.out << restore.err;
    EXPECT_TRUE(ReadBytes(dir_ / "saved3/device-1.bin") == oldFlash_);
}

// On a fixed production port: unit X fails early in its write, unit Y is
// updated on the same port, X fails again. X's flash now holds no readable
// information block, and X has no USB serial number: the repair names no
// backup (Y's is the newest valid one from that bus and address), says why
// and lists the model's backups with their units; a restore of Y's backup
// onto X is refused.
TEST_F(RetryEndToEndTest, ADamagedUnitIsNeverGivenAnotherUnitsBackup) {
    // Records of another size than the firmware's: a write cut short leaves
    // a flash that no longer walks to its information block.
    const auto unit = [](std::uint32_t seed) {
        return sovra::MakeSampleFlash({.records = 5,
                                       .wordsPerRecord = 100,
                                       .seed = seed,
                                       .updateTime = 131'000'000'000'000'000ULL});
    };
    WriteBytes(dir_ / "x.bin", unit(5));
    WriteBytes(dir_ / "y.bin", unit(6));
    const auto run = [this](const fs::path& flash, const std::string& faults, const fs::path& save,
                            std::vector<std::string> command) {
        std::vector<std::string> args{
            SOVRA_SIM_LAUNCHER, "--device",    "0abc:0010:0102,flash=" + flash.string() + faults,
            "--save-flash",     save.string(), "--",
            SOVRA_FLASH};
        args.insert(args.end(), command.begin(), command.end());
        args.insert(args.end(), {"--catalogue", (dir_ / "FirmwareUpdate.xml").string(), "--yes"});
        return Spawn(args);
    };
    const std::vector<std::string> update{"update", "--device", "0abc:0010", "--firmware",
                                          (dir_ / "fw.img").string()};
    // The second write fails: X's intact flash is read once, its damaged one twice.
    const auto failWrite = [](std::uint64_t readBack) {
        return ",fail-at=" + std::to_string(readBack + 2);
    };

    const Outcome x1 = run(dir_ / "x.bin", failWrite(sovra::testing::ReadBackRequests(unit(5))),
                           dir_ / "x1", update);
    ASSERT_EQ(x1.status, 1) << x1.out << x1.err;
    ASSERT_EQ(Backups().size(), 1u);
    const fs::path xBackup = Backups()[0];
    EXPECT_NE(x1.out.find("--image " + xBackup.string()), std::string::npos) << x1.out;

    const Outcome y = run(dir_ / "y.bin", "", dir_ / "y", update);
    ASSERT_EQ(y.status, 0) << y.out << y.err;
    fs::path yBackup;
    for (const fs::path& b : Backups()) {
        yBackup = b != xBackup ? b : yBackup;
    }

    const Outcome x2 = run(dir_ / "x1/device-1.bin", failWrite(1 + 2 * 4096), dir_ / "x2", update);
    ASSERT_EQ(x2.status, 1) << x2.out << x2.err;
    EXPECT_EQ(x2.out.find("sovra-flash restore --device"), std::string::npos) << x2.out;
    EXPECT_NE(x2.out.find("this unit cannot be told"), std::string::npos) << x2.out;
    EXPECT_NE(x2.out.find(xBackup.string() + "  (unit "), std::string::npos) << x2.out;

    const Outcome restore = run(dir_ / "x2/device-1.bin", "", dir_ / "x3",
                                {"restore", "--device", "0abc:0010", "--image", yBackup.string()});
    EXPECT_EQ(restore.status, 1) << restore.out << restore.err;
    EXPECT_NE(restore.out.find("cannot be told whether"), std::string::npos) << restore.out;
    EXPECT_TRUE(ReadBytes(dir_ / "x3/device-1.bin") == ReadBytes(dir_ / "x2/device-1.bin"));
}

// A restore writes only a valid flash, and only the device's own unless
// forced; it is logged as a restore.
TEST_F(UpdateEndToEndTest, ARestoreChecksWhatItWrites) {
    const auto restore = [this](const fs::path& image, const std::string& extra) {
        std::vector<std::string> args{SOVRA_SIM_LAUNCHER,
                                      "--device",
                                      "0abc:0010:0102,flash=" + (dir_ / "old.bin").string(),
                                      "--save-flash",
                                      (dir_ / "saved").string(),
                                      "--",
                                      SOVRA_FLASH,
                                      "restore",
                                      "--device",
                                      "0abc:0010",
                                      "--image",
                                      image.string(),
                                      "--catalogue",
                                      (dir_ / "FirmwareUpdate.xml").string(),
                                      "--yes"};
        if (!extra.empty()) {
            args.push_back(extra);
        }
        return Spawn(args);
    };
    std::vector<std::uint8_t> noise(sovra::FlashSize);
    for (std::size_t i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 11);
    }
    WriteBytes(dir_ / "noise.bin", noise);
    Outcome o = restore(dir_ / "noise.bin", "");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("is not a valid flash"), std::string::npos) << o.err;
    EXPECT_TRUE(ReadBytes(dir_ / "saved/device-1.bin") == oldFlash_);

    const std::vector<std::uint8_t> other = sovra::MakeSampleFlash({.records = 5, .seed = 6});
    WriteBytes(dir_ / "other.bin", other);
    o = restore(dir_ / "other.bin", "");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("saved from another device"), std::string::npos) << o.out;
    EXPECT_TRUE(ReadBytes(dir_ / "saved/device-1.bin") == oldFlash_);

    o = restore(dir_ / "other.bin", "--force");
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_TRUE(ReadBytes(dir_ / "saved/device-1.bin") == other);
    EXPECT_NE(o.err.find("Flash of SovRa beamformer is restored."), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("Firmware is updated"), std::string::npos) << o.err;
}

}  // namespace

namespace {

using WatchEndToEndTest = UpdateEndToEndTest;

// A production line: one beamformer present, two more plugged in later
// with an unrelated device between them. `watch` updates the three, each
// once, leaves the other alone, and the history names all three with the
// firmware's SHA-256.
TEST_F(WatchEndToEndTest, ThreeBeamformersOneByOneAndTheHistory) {
    const std::string flash = ",flash=" + (dir_ / "old.bin").string();
    const Outcome o = Spawn({SOVRA_SIM_LAUNCHER,
                             "--device",
                             "0abc:0010:0102" + flash,
                             "--device",
                             "1234:0001:0100,arrive-ms=300" + flash,
                             "--device",
                             "0abc:0010:0102,arrive-ms=600" + flash,
                             "--device",
                             "0abc:0010:0102,arrive-ms=900" + flash,
                             "--save-flash",
                             (dir_ / "saved").string(),
                             "--",
                             SOVRA_FLASH,
                             "watch",
                             "--firmware",
                             (dir_ / "fw.img").string(),
                             "--catalogue",
                             (dir_ / "FirmwareUpdate.xml").string(),
                             "--count",
                             "3",
                             "--json"});
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    std::istringstream lines(o.out);
    std::set<std::string> devices;
    for (std::string line; std::getline(lines, line);) {
        const auto r = nlohmann::json::parse(line);
        EXPECT_EQ(r["result"], "updated") << line;
        devices.insert(r["device"].get<std::string>());
    }
    EXPECT_EQ(devices, (std::set<std::string>{"/dev/bus/usb/001/002", "/dev/bus/usb/001/004",
                                              "/dev/bus/usb/001/005"}));
    EXPECT_TRUE(ReadBytes(dir_ / "saved/device-2.bin") == oldFlash_);
    for (const char* saved : {"device-1.bin", "device-3.bin", "device-4.bin"}) {
        const std::vector<std::uint8_t> now = ReadBytes(dir_ / "saved" / saved);
        EXPECT_TRUE(now != oldFlash_) << saved;
        // The device's own data is carried over.
        const auto record = sovra::FindDeviceInfo(now);
        ASSERT_TRUE(record.has_value()) << saved;
        const auto own = sovra::FindDeviceInfo(oldFlash_);
        EXPECT_TRUE(std::equal(now.begin() + 4 * record->data, now.begin() + 4 * record->data + 128,
                               oldFlash_.begin() + 4 * own->data))
            << saved;
    }

    const Outcome history = Spawn({SOVRA_FLASH, "history", "--json"});
    ASSERT_EQ(history.status, 0) << history.err;
    const auto records = nlohmann::json::parse(history.out);
    ASSERT_EQ(records.size(), 3u);
    const std::vector<std::uint8_t> fw = ReadBytes(dir_ / "fw.img");
    for (const auto& r : records) {
        EXPECT_EQ(r["program"], "sovra-flash");
        EXPECT_EQ(r["result"], "updated");
        EXPECT_EQ(r["firmware"]["sha256"], sovra::Sha256Hex(sovra::Sha256(fw)));
    }
}

// A unit updated by watch, unplugged and plugged back in (at a new address,
// as the kernel gives one): updated, then up to date, its flash written
// once, and both history records name the same unit, which the history
// finds by the start of its fingerprint.
TEST_F(WatchEndToEndTest, AUnitPluggedBackInIsUpToDate) {
    const Outcome o = Spawn({SOVRA_SIM_LAUNCHER, "--device",
                             "0abc:0010:0102,serial=SN-7,leave-ms=20000,arrive-ms=20300,flash=" +
                                 (dir_ / "old.bin").string(),
                             "--save-flash", (dir_ / "saved").string(), "--", SOVRA_FLASH, "watch",
                             "--firmware", (dir_ / "fw.img").string(), "--catalogue",
                             (dir_ / "FirmwareUpdate.xml").string(), "--count", "2", "--json"});
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    std::vector<nlohmann::json> results;
    std::istringstream lines(o.out);
    for (std::string line; std::getline(lines, line);) {
        results.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(results.size(), 2u) << o.out;
    EXPECT_EQ(results[0]["result"], "updated");
    EXPECT_EQ(results[1]["result"], "up-to-date");
    EXPECT_NE(results[0]["device"], results[1]["device"]);
    EXPECT_EQ(results[1]["serial"], "SN-7");
    const std::string unit = results[0]["unit"];
    EXPECT_EQ(results[1]["unit"], unit);
    EXPECT_NE(o.err.find("The device already holds this firmware."), std::string::npos) << o.err;
    // One write: the flash holds the first run's update, its backup the old flash.
    const std::vector<std::uint8_t> now = ReadBytes(dir_ / "saved/device-1.bin");
    ASSERT_EQ(Backups().size(), 1u);
    EXPECT_TRUE(ReadBytes(Backups()[0]) == oldFlash_);
    EXPECT_NE(Backups()[0].filename().string().find(unit), std::string::npos);
    EXPECT_NE(StampedUpdateTime(now), StampedUpdateTime(oldFlash_));

    const Outcome history = Spawn({SOVRA_FLASH, "history", "--unit", unit.substr(0, 5), "--json"});
    ASSERT_EQ(history.status, 0) << history.err;
    const auto records = nlohmann::json::parse(history.out);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1]["result"], "up-to-date");
}

// One unit is unplugged while it is read: a failure that leaves it
// untouched and does not stop the other, which is updated. (Ctrl-C while a
// unit is written is tested with the in-process device, where the moment of
// writing can be known.)
TEST_F(WatchEndToEndTest, AnUnplugFailsThatUnitAlone) {
    const std::string flash = ",flash=" + (dir_ / "old.bin").string();
    const Outcome o =
        Spawn({SOVRA_SIM_LAUNCHER, "--device", "0abc:0010:0102" + flash, "--device",
               "0abc:0010:0102,leave-ms=1000" + flash, "--save-flash", (dir_ / "saved").string(),
               "--", SOVRA_FLASH, "watch", "--firmware", (dir_ / "fw.img").string(), "--catalogue",
               (dir_ / "FirmwareUpdate.xml").string(), "--count", "2", "--json"});
    EXPECT_EQ(o.status, 1) << o.out << o.err;
    std::map<std::string, nlohmann::json> results;
    std::istringstream lines(o.out);
    for (std::string line; std::getline(lines, line);) {
        const auto r = nlohmann::json::parse(line);
        results[r["device"].get<std::string>()] = r;
    }
    ASSERT_EQ(results.size(), 2u) << o.out;
    EXPECT_EQ(results["/dev/bus/usb/001/002"]["result"], "updated");
    EXPECT_EQ(results["/dev/bus/usb/001/003"]["result"], "failed");
    EXPECT_EQ(results["/dev/bus/usb/001/003"]["device_state"], "untouched");
    EXPECT_TRUE(ReadBytes(dir_ / "saved/device-1.bin") != oldFlash_);
    EXPECT_TRUE(ReadBytes(dir_ / "saved/device-2.bin") == oldFlash_);
}

}  // namespace

namespace {

using sovra::testing::TestSigner;

// A bundle's signature under the launcher: with a trusted key installed for
// the user, only a catalogue it signed and a file the catalogue pins reach
// the device; without one, an unsigned bundle updates as ever.
struct SignedRun {
    const char* name;
    bool keyInstalled;
    const char* signer;  // nullptr: unsigned
    enum { kAsSigned, kCatalogueChanged, kFirmwareSwapped } change;
    int exit;
    const char* says;
};

class SignedBundleEndToEndTest : public UpdateEndToEndTest,
                                 public testing::WithParamInterface<SignedRun> {
  protected:
    void SetUp() override {
        UpdateEndToEndTest::SetUp();
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_DIRS"}) {
            if (const char* v = std::getenv(name)) {
                saved_[name] = v;
            }
        }
        ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
        ::setenv("XDG_DATA_DIRS", (dir_ / "data").c_str(), 1);
    }
    void TearDown() override {
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_DIRS"}) {
            if (saved_.count(name) != 0) {
                ::setenv(name, saved_[name].c_str(), 1);
            } else {
                ::unsetenv(name);
            }
        }
        UpdateEndToEndTest::TearDown();
    }
    std::map<std::string, std::string> saved_;
};

TEST_P(SignedBundleEndToEndTest, OnlyWhatTheTrustedKeySignedReachesTheDevice) {
    const SignedRun& c = GetParam();
    TestSigner signer(dir_);
    signer.MakeKey("vendor");
    signer.MakeKey("other");
    if (c.keyInstalled) {
        const fs::path keys = dir_ / "config/sovra-firmware-update/trusted-keys";
        fs::create_directories(keys);
        signer.Export("vendor", keys / "vendor.asc", true);
    }
    const fs::path catalogue = dir_ / "FirmwareUpdate.xml";
    const std::string pin = sovra::Sha256Hex(sovra::Sha256(ReadBytes(dir_ / "fw.img")));
    std::ofstream(catalogue) << R"(<Device_list><Device File_Name="fw.img" REV="01.02" )"
                             << R"(SHA256=")" << pin << R"(" VID="abc" PID="10"/></Device_list>)";
    if (c.signer != nullptr) {
        signer.Sign(c.signer, catalogue);
    }
    if (c.change == SignedRun::kCatalogueChanged) {
        std::ofstream(catalogue, std::ios::app) << "<!-- -->";
    } else if (c.change == SignedRun::kFirmwareSwapped) {
        WriteBytes(dir_ / "fw.img", sovra::MakeSampleImage({.records = 12, .seed = 10}));
    }

    const Outcome o = Update("");
    EXPECT_EQ(o.status, c.exit) << o.out << o.err;
    EXPECT_NE((o.out + o.err).find(c.says), std::string::npos) << o.out << o.err;
    const bool untouched = ReadBytes(dir_ / "saved/device-1.bin") == oldFlash_;
    EXPECT_EQ(untouched, c.exit != 0);
    if (c.exit != 0) {
        EXPECT_NE(o.err.find("Error reading firmware data file."), std::string::npos) << o.err;
        return;
    }
    // The history names the key that signed the catalogue, or none.
    const std::string history = ReadAll(dir_ / "state/sovra-firmware-update/history.jsonl");
    const nlohmann::json record = nlohmann::json::parse(history.substr(0, history.find('\n')));
    EXPECT_EQ(record.value("signing_key", "?"),
              c.keyInstalled ? signer.Fingerprint("vendor") : std::string());
}

INSTANTIATE_TEST_SUITE_P(
    Signatures, SignedBundleEndToEndTest,
    testing::Values(SignedRun{"Signed", true, "vendor", SignedRun::kAsSigned, 0, "updated"},
                    SignedRun{"ChangedAfterSigning", true, "vendor", SignedRun::kCatalogueChanged,
                              1, "signature is bad"},
                    SignedRun{"SignedByAnotherKey", true, "other", SignedRun::kAsSigned, 1,
                              "which is not a trusted key"},
                    SignedRun{"Unsigned", true, nullptr, SignedRun::kAsSigned, 1, "is not signed"},
                    SignedRun{"FirmwareSwapped", true, "vendor", SignedRun::kFirmwareSwapped, 1,
                              "does not match its catalogue entry"},
                    SignedRun{"NoKeyInstalled", false, nullptr, SignedRun::kAsSigned, 0,
                              "updated"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
