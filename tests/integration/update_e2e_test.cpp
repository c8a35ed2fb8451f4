// `sovra-flash update` end to end: sovra-beamformer-sim hosts a virtual
// beamformer behind the real libudev and libusb, and the unmodified
// sovra-flash updates it. Each whole update takes seconds under emulation,
// so the cases are few.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "flash/flash_command.h"
#include "flash/image_format.h"
#include "flash/info_area.h"
#include "flash/sample_image.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::uint8_t> ReadBytes(const fs::path& p) {
    const std::string s = ReadAll(p);
    return {s.begin(), s.end()};
}

void WriteBytes(const fs::path& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::optional<sovra::FileTime> StampedUpdateTime(std::span<const std::uint8_t> flash) {
    const auto record = sovra::FindDeviceInfo(flash);
    if (!record) {
        return std::nullopt;
    }
    const sovra::ConstInfoArea area = sovra::InfoAreaOf(sovra::DeviceInfoBlock(flash, *record));
    sovra::InfoEntryWalker walker(area);
    while (const auto e = walker.Next()) {
        if (e->IsUpdateTime()) {
            return sovra::EntryTime(area, *e);
        }
    }
    return std::nullopt;
}

class UpdateEndToEndTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/sovra-update-e2e.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
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
    void TearDown() override { fs::remove_all(dir_); }

    Outcome Spawn(std::vector<std::string> all) {
        std::vector<char*> argv;
        for (auto& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const fs::path out = dir_ / "stdout";
        const fs::path err = dir_ / "stderr";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        pid_t pid = 0;
        Outcome o;
        const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(spawned);
            return o;
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        o.out = ReadAll(out);
        o.err = ReadAll(err);
        return o;
    }

    // sovra-flash update under the launcher, one device with `deviceOptions`.
    Outcome Update(const std::string& deviceOptions) {
        return Spawn({SOVRA_SIM_LAUNCHER, "--device",
                      "0abc:0010:0102,flash=" + (dir_ / "old.bin").string() + deviceOptions,
                      "--save-flash", (dir_ / "saved").string(), "--", SOVRA_FLASH, "update",
                      "--device", "0abc:0010", "--firmware", (dir_ / "fw.img").string(),
                      "--catalogue", (dir_ / "FirmwareUpdate.xml").string(), "--yes"});
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

    fs::path dir_;
    std::vector<std::uint8_t> oldFlash_;
};

TEST_F(UpdateEndToEndTest, DeviceHoldsWhatMergeMakesAndTheBackupIsTheOldFlash) {
    const Outcome o = Update("");
    ASSERT_EQ(o.status, 0) << o.err << o.out;
    const std::vector<std::uint8_t> saved = ReadBytes(dir_ / "saved/device-1.bin");
    ASSERT_EQ(saved.size(), sovra::FlashSize);

    // The same merge offline, at the time the update stamped.
    const auto stamped = StampedUpdateTime(saved);
    ASSERT_TRUE(stamped.has_value());
    const Outcome merged =
        Spawn({SOVRA_FLASH, "merge", "--readback", (dir_ / "old.bin").string(), "--firmware",
               (dir_ / "fw.img").string(), "--output", (dir_ / "merged.bin").string(), "--now",
               std::to_string(*stamped), "--flash-image"});
    ASSERT_EQ(merged.status, 0) << merged.err;
    EXPECT_TRUE(saved == ReadBytes(dir_ / "merged.bin"));

    const auto backups = Backups();
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_TRUE(ReadBytes(backups[0]) == oldFlash_);
    EXPECT_NE(o.err.find(backups[0].string()), std::string::npos) << o.err;

    // The system log, in order.
    std::size_t at = 0;
    for (const char* entry : {"Firware update started.", "Load Stage 1 of 3.", "Load Stage 2 of 3.",
                              "Load Stage 3 of 3.", "Firmware is updated in SovRa 01.00."}) {
        const std::size_t found = o.err.find(entry, at);
        ASSERT_NE(found, std::string::npos) << entry << "\n" << o.err;
        at = found;
    }
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

}  // namespace
